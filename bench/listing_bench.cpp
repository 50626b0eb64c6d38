// Listing parser throughput: lines per second for a large Unix-style
// listing, and for one whose lines no layout accepts, so that each costs the
// EPLF test and all 37 mask attempts. Times are processor time of the
// process (the parser runs on this one thread), so that other work on a
// shared machine disturbs the figures less.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "ftp/ftplist.h"

namespace {

constexpr int kLines = 100000;
constexpr int kRuns = 5;

// Names of plain files: Latin, or Cyrillic as a till's price files often are.
std::vector<std::string> UnixListing(const char* FileName = "price file ") {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::vector<std::string> lines;
  lines.reserve(kLines);
  char line[160];
  for (int i = 0; i < kLines; ++i) {
    const bool directory = i % 10 == 0;
    const bool recent = i % 3 != 0;
    char yearOrTime[8];
    if (recent) {
      std::snprintf(yearOrTime, sizeof yearOrTime, "%02d:%02d", i % 24, i % 60);
    } else {
      std::snprintf(yearOrTime, sizeof yearOrTime, " %04d", 2000 + i % 25);
    }
    std::snprintf(line, sizeof line, "%s   1 owner    group    %10d %s %2d %s %s%06d%s",
                  directory ? "drwxr-xr-x" : "-rw-r--r--", (i * 7919) % 100000000, months[i % 12],
                  1 + i % 28, yearOrTime, directory ? "folder" : FileName, i,
                  directory ? "" : ".csv");
    lines.emplace_back(line);
  }
  return lines;
}

std::vector<std::string> UnrecognisedListing() {
  std::vector<std::string> lines;
  lines.reserve(kLines);
  for (int i = 0; i < kLines; ++i) {
    lines.push_back("no layout takes this line, number " + std::to_string(i));
  }
  return lines;
}

// Best of a few runs, so that a busy machine disturbs the figure less.
void Measure(const char* Title, const std::vector<std::string>& Lines) {
  double best = 0;
  int entries = 0;
  size_t unparsed = 0;
  for (int run = 0; run < kRuns; ++run) {
    TFTPList list;
    list.Lines() = Lines;
    const std::clock_t start = std::clock();
    list.ParseLines();
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    best = std::max(best, static_cast<double>(Lines.size()) / seconds);
    entries = list.Count();
    unparsed = list.UnparsedLines().size();
  }
  std::printf("%-34s %8zu lines  %8d entries  %8zu unparsed  %12.0f lines/s\n", Title, Lines.size(),
              entries, unparsed, best);
}

}  // namespace

int main() {
  Measure("Unix ls -l listing", UnixListing());
  Measure("Unix ls -l listing, Cyrillic names", UnixListing("Прайс "));
  Measure("listing no layout accepts", UnrecognisedListing());
  return 0;
}
