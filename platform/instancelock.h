#pragma once

#include <functional>
#include <string>

// One agent per program folder: two agents in one folder would race on its
// staging folder, its journals and its settings file.

enum class TFolderClaim {
  Claimed,        // this process is the folder's agent from now on
  HeldByAnother,  // another agent runs in the folder
  Unknown         // the folder cannot be locked here; the program runs as before
};

// Claims Folder for the rest of the process. The claim needs no file and no
// right to write: it is a lock on the folder itself, which the system drops
// when the process ends in any way, killed included.
TFolderClaim ClaimProgramFolder(const std::string& Folder);

// Asks the agent that holds Folder to bring its window to the front; nothing
// happens when it has no window or does not answer.
void AskFolderAgentToShowWindow(const std::string& Folder);

// Runs OnAsked, on a thread of its own, each time a later start in Folder
// asks this agent to show its window. False when the requests cannot be
// received here.
bool ServeShowWindowRequests(const std::string& Folder, std::function<void()> OnAsked);
