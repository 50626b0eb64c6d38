#include "support/FaultScene.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string_view>

namespace fs = std::filesystem;

namespace {

struct TSceneFile {
  const char* Name;
  size_t Size;
};

// Receipts: one in the till, one already staged.
constexpr TSceneFile TillReceipts[] = {{"r1.ch", 200000}};
constexpr TSceneFile StagedReceipts[] = {{"r2.z", 700}};
// The first price file replaces an older copy in the till folder.
constexpr TSceneFile PriceFiles[] = {{"p1.txt", 200000}, {"p2.txt", 500}};
constexpr TSceneFile ScaleFiles[] = {{"w1.dat", 200000}, {"w2.dat", 0}};
const std::string OldPrice = "older price list";

const std::string ReceiptFolder = "reports/checks/";

std::optional<std::string> ReadIf(const std::string& Path) {
  std::error_code error;
  if (!fs::is_regular_file(Path, error)) return std::nullopt;
  std::string bytes(fs::file_size(Path, error), '\0');
  std::ifstream in(Path, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
  fs::create_directories(fs::path(Path).parent_path());
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
}

// Joins texts without the temporaries of a chain of "+".
std::string Cat(std::initializer_list<std::string_view> Parts) {
  std::string text;
  for (std::string_view part : Parts) text += part;
  return text;
}

bool Contains(const std::vector<std::string>& Names, const std::string& Name) {
  return std::find(Names.begin(), Names.end(), Name) != Names.end();
}

// Every file below Root, relative to it.
std::vector<std::string> FilesBelow(const std::string& Root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(Root))
    if (!entry.is_directory()) names.push_back(fs::relative(entry.path(), Root).string());
  return names;
}

bool IsJournal(const std::string& Name) {
  static const std::regex journal("(Checks|Price|Scale)[0-9]{14}");
  return std::regex_match(Name, journal);
}

// A download and the places it may be in.
struct TDownload {
  std::string Name;
  std::string Bytes;
  std::string Remote;
  std::string Destination;
  std::optional<std::string> Older;
};

}  // namespace

FaultScene::FaultScene(std::string ServerRoot, std::string App, std::string Till,
                       std::string Scales)
    : FServer(std::move(ServerRoot)),
      FApp(std::move(App)),
      FTill(std::move(Till)),
      FScales(std::move(Scales)) {}

std::string FaultScene::Content(const std::string& Name, size_t Size) {
  // Bytes of a small generator seeded by the name: every file differs from
  // every other at almost every position, and all 256 byte values occur.
  // Checks ask for them often; they are made once.
  static std::map<std::pair<std::string, size_t>, std::string> made;
  const auto known = made.find({Name, Size});
  if (known != made.end()) return known->second;
  uint32_t state = 2166136261u;
  for (char c : Name) state = (state ^ static_cast<unsigned char>(c)) * 16777619u;
  std::string bytes(Size, '\0');
  for (char& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<char>(state >> 24);
  }
  return made[{Name, Size}] = bytes;
}

void FaultScene::Arrange() const {
  for (const TSceneFile& f : TillReceipts)
    WriteFile(FTill + ReceiptFolder + f.Name, Content(f.Name, f.Size));
  for (const TSceneFile& f : StagedReceipts)
    WriteFile(FApp + ReceiptFolder + f.Name, Content(f.Name, f.Size));
  for (const TSceneFile& f : PriceFiles) WriteFile(FServer + f.Name, Content(f.Name, f.Size));
  WriteFile(FTill + PriceFiles[0].Name, OldPrice);
  for (const TSceneFile& f : ScaleFiles)
    WriteFile(FServer + "scale/" + f.Name, Content(f.Name, f.Size));
  fs::create_directories(FServer + ReceiptFolder);
  fs::create_directories(FServer + "log");
}

std::vector<std::string> FaultScene::NothingLost(const std::vector<std::string>& Reported,
                                                 bool Journals) const {
  std::vector<std::string> problems;
  std::vector<TSceneFile> receipts(std::begin(TillReceipts), std::end(TillReceipts));
  receipts.insert(receipts.end(), std::begin(StagedReceipts), std::end(StagedReceipts));
  for (const TSceneFile& f : receipts) {
    const std::string name = f.Name;
    const std::string bytes = Content(name, f.Size);
    bool waiting = false;
    for (const std::string& folder : {FTill, FApp}) {
      const auto local = ReadIf(Cat({folder, ReceiptFolder, name}));
      if (!local) continue;
      waiting = true;
      if (*local != bytes) problems.push_back(Cat({"receipt ", name, " is not whole in ", folder}));
    }
    const auto remote = ReadIf(Cat({FServer, ReceiptFolder, name}));
    const bool arrived = remote && *remote == bytes;
    if (remote && !arrived && !(waiting && bytes.starts_with(*remote)))
      problems.push_back("receipt " + name + " on the server is not itself");
    if (!waiting && !arrived) problems.push_back("receipt " + name + " is lost");
    if (Contains(Reported, name) && (!arrived || waiting))
      problems.push_back("receipt " + name + " was reported but has not arrived");
  }

  std::vector<TDownload> downloads;
  for (const TSceneFile& f : PriceFiles)
    downloads.push_back(
        {f.Name, Content(f.Name, f.Size), FServer + f.Name, FTill + f.Name, std::nullopt});
  downloads.front().Older = OldPrice;
  for (const TSceneFile& f : ScaleFiles)
    downloads.push_back({f.Name, Content(f.Name, f.Size), FServer + "scale/" + f.Name,
                         FScales + f.Name, std::nullopt});
  for (const TDownload& d : downloads) {
    const auto destination = ReadIf(d.Destination);
    const auto remote = ReadIf(d.Remote);
    if (destination && *destination != d.Bytes && destination != d.Older)
      problems.push_back(d.Name + " is not whole in its destination");
    if (remote && *remote != d.Bytes) problems.push_back(d.Name + " changed on the server");
    const bool delivered = destination == d.Bytes;
    if (!delivered && !remote) problems.push_back(d.Name + " is lost");
    if (d.Older && !destination && !delivered)
      problems.push_back("the older " + d.Name + " is gone before the new one arrived");
    if (Contains(Reported, d.Name) && !delivered)
      problems.push_back(d.Name + " was reported but has not arrived");
  }

  const auto strays = Strays(Journals);
  problems.insert(problems.end(), strays.begin(), strays.end());
  return problems;
}

std::vector<std::string> FaultScene::EverythingMoved(unsigned Kinds, bool Journals) const {
  std::vector<std::string> problems;
  const auto expect = [&](bool Holds, const std::string& Problem) {
    if (!Holds) problems.push_back(Problem);
  };
  const auto receipt = [&](const TSceneFile& f, const std::string& Origin) {
    const std::string name = f.Name;
    const std::string remote = FServer + ReceiptFolder + name;
    const std::string staged = FApp + ReceiptFolder + name;
    if (Kinds & Receipts) {
      expect(ReadIf(remote) == Content(name, f.Size), "receipt " + name + " has not arrived whole");
      expect(!fs::exists(FTill + ReceiptFolder + name) && !fs::exists(staged),
             "receipt " + name + " is still waiting");
    } else {
      expect(ReadIf(Origin + ReceiptFolder + name) == Content(name, f.Size) && !fs::exists(remote),
             "receipt " + name + " was touched");
    }
  };
  for (const TSceneFile& f : TillReceipts) receipt(f, FTill);
  for (const TSceneFile& f : StagedReceipts) receipt(f, FApp);
  const auto download = [&](const TSceneFile& f, bool Ran, const std::string& Remote,
                            const std::string& Destination,
                            const std::optional<std::string>& Older) {
    const std::string name = f.Name;
    if (Ran) {
      expect(ReadIf(Destination) == Content(name, f.Size), name + " has not arrived whole");
      expect(!fs::exists(Remote), name + " is still on the server");
      expect(!fs::exists(FApp + name), name + " is still staged");
    } else {
      expect(ReadIf(Remote) == Content(name, f.Size) && ReadIf(Destination) == Older &&
                 !fs::exists(FApp + name),
             name + " was touched");
    }
  };
  for (const TSceneFile& f : PriceFiles)
    download(f, Kinds & Prices, FServer + f.Name, FTill + f.Name,
             f.Name == PriceFiles[0].Name ? std::optional(OldPrice) : std::nullopt);
  for (const TSceneFile& f : ScaleFiles)
    download(f, Kinds & Scales, FServer + "scale/" + f.Name, FScales + f.Name, std::nullopt);
  const auto strays = Strays(Journals);
  problems.insert(problems.end(), strays.begin(), strays.end());
  return problems;
}

std::vector<std::string> FaultScene::Strays(bool Journals) const {
  std::set<std::string> receipts;
  for (const TSceneFile& f : TillReceipts) receipts.insert(ReceiptFolder + f.Name);
  for (const TSceneFile& f : StagedReceipts) receipts.insert(ReceiptFolder + f.Name);
  std::set<std::string> prices, scales;
  for (const TSceneFile& f : PriceFiles) prices.insert(f.Name);
  for (const TSceneFile& f : ScaleFiles) scales.insert(f.Name);

  std::vector<std::string> problems;
  const auto check = [&](const std::string& Root, const std::string& Where, auto&& Allowed) {
    for (const std::string& name : FilesBelow(Root))
      if (!Allowed(name)) problems.push_back(Cat({"unexpected file ", name, " in ", Where}));
  };
  check(FServer, "the server", [&](const std::string& n) {
    return receipts.contains(n) || prices.contains(n) ||
           (n.starts_with("scale/") && scales.contains(n.substr(6))) ||
           (Journals && n.starts_with("log/") && IsJournal(n.substr(4)));
  });
  check(FApp, "the application directory", [&](const std::string& n) {
    return n == "Quorvel.ini" || receipts.contains(n) || (Journals && IsJournal(n));
  });
  check(FTill, "the till folder",
        [&](const std::string& n) { return receipts.contains(n) || prices.contains(n); });
  check(FScales, "the scales folder", [&](const std::string& n) { return scales.contains(n); });
  return problems;
}
