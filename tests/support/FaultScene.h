#pragma once

#include <string>
#include <vector>

#include "support/TempDir.h"

// The files of a fault case and the promise the agent keeps about them.
//
// Arranged: a receipt in the till's "reports/checks/" and one already
// staged below the application directory; price files in the server's login
// directory, one of them replacing an older copy in the till folder; scale
// files in the server's "scale/"; the server folders "reports/checks/" and
// "log/". Files are large enough that a transfer can be cut in the middle,
// and each has its own bytes, so a cut or a mix-up shows.
//
// The checks look at every file of the four places byte by byte and return
// what is wrong, one text per problem (empty when all is well).
class FaultScene {
 public:
  // The files of each worker kind, for the kinds that ran.
  enum TKinds : unsigned { Receipts = 1, Prices = 2, Scales = 4, All = 7 };

  // App is the application directory (with its trailing "/"); the till and
  // the scales folder are the settings' KassaPath and ScalePath.
  FaultScene(std::string ServerRoot, std::string App, std::string Till, std::string Scales);

  void Arrange() const;

  // Nothing lost and nothing half-written under a real name: every receipt
  // is whole on the server or still whole in the till or staging folder;
  // every price and scale file is whole in its destination or still whole on
  // the server, and never anywhere else; an older price file stays whole
  // until the new one has arrived; every file reported as moved has arrived. A receipt whose upload
  // was cut may lie on the server as the beginning of itself while it waits locally for the next
  // cycle, which replaces it. Besides the arranged files only the settings file, journals (when
  // Journals is set) and the folders exist.
  std::vector<std::string> NothingLost(const std::vector<std::string>& Reported,
                                       bool Journals = false) const;
  // Every file of the Kinds has arrived whole and is gone from where it came
  // from; the files of the other kinds are where they were arranged.
  std::vector<std::string> EverythingMoved(unsigned Kinds, bool Journals = false) const;

  // The bytes a receipt, price or scale file of this scene holds.
  static std::string Content(const std::string& Name, size_t Size);

 private:
  std::vector<std::string> Strays(bool Journals) const;

  std::string FServer;
  std::string FApp;
  std::string FTill;
  std::string FScales;
};
