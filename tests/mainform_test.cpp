// The window's behaviour that every front end shares, against a window that
// records what it is asked to do.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "ui/SyncMainForm.h"

namespace {

class TRecordingWindow final : public IMainWindow {
 public:
  std::vector<std::string> Calls;
  bool Visible = false;
  bool Tray = true;
  bool RefuseIconRemoval = false;
  std::optional<std::string> ChosenFolder;
  TScreenRect Area{0, 0, 1024, 768};
  TScreenRect Frame{5, 5, 631, 314};

  void SetStatusText(const std::string&) override {}
  void SetTimePriceText(const std::string&) override {}
  void SetTimeChText(const std::string&) override {}
  void SetTimeScaleText(const std::string&) override {}
  void SetSyncButtonCaption(const std::string&) override {}
  int SyncButtonTag() const override { return 0; }
  void SetSyncButtonTag(int) override {}
  void ShowBalloon(const std::string& Text) override { Calls.push_back("balloon " + Text); }
  void FillSettingsPage(const TQuorvelSettings&) override {}
  void SetErrorPriceText(const std::string&) override {}
  void SetErrorChText(const std::string&) override {}
  void SetErrorScaleText(const std::string&) override {}
  void SetTrayState(const std::string&, bool) override {}
  void LogOutcome(const std::string&) override {}

  TSettingsPageValues SettingsPageValues() const override { return {}; }
  void SetFolderEditText(TFolderEdit Edit, const std::string& Text) override {
    Calls.push_back((Edit == TFolderEdit::Kassa ? "kassa " : "scales ") + Text);
  }
  std::optional<std::string> BrowseForFolder(const std::string& Instruction) override {
    Calls.push_back("browse " + Instruction);
    return ChosenFolder;
  }
  void SelectPage(TPage Page) override { Calls.push_back("page " + std::to_string(Page)); }
  bool WindowVisible() const override { return Visible; }
  void ShowWindowNormal() override { Show("normal"); }
  void HideWindow() override {
    Visible = false;
    Calls.push_back("hide");
  }
  void ShowWindowMaximized() override { Show("maximized"); }
  void ShowWindowMinimized() override { Show("minimized"); }
  void BringToFront() override { Calls.push_back("front"); }
  TScreenRect WorkArea() const override { return Area; }
  TScreenRect FrameRect() const override { return Frame; }
  void MoveFrame(int Left, int Top) override {
    Frame.Left = Left;
    Frame.Top = Top;
    Calls.push_back("move " + std::to_string(Left) + "," + std::to_string(Top));
  }
  bool TrayAvailable() const override { return Tray; }
  void RemoveTrayIcon() override {
    if (RefuseIconRemoval) throw std::runtime_error("Cannot remove shell notification icon");
    Calls.push_back("remove icon");
  }
  void CloseWindow() override { Calls.push_back("close"); }
  void ReportError(const std::string& Text) override { Calls.push_back("error " + Text); }

 private:
  void Show(const std::string& How) {
    Visible = true;
    Calls.push_back(How);
  }
};

// A controller that does nothing but count, so no worker starts.
class TIdleControl final : public ISyncControl {
 public:
  void FormCreate() override {}
  void btnSyncClick() override {}
  void ExchangeNow() override {}
};

class MainForm : public ::testing::Test {
 protected:
  MainForm() { Form.FormCreate(); }

  // The calls since the last look.
  std::vector<std::string> Calls() {
    std::vector<std::string> Made;
    Made.swap(Window.Calls);
    return Made;
  }

  TRecordingWindow Window;
  TSyncMainForm Form{Window, [](ISyncView&) { return std::make_unique<TIdleControl>(); }};
};

using TCalls = std::vector<std::string>;

TEST_F(MainForm, TrayClickShowsCentredOnceThenHidesAndShowsInPlace) {
  Form.TrayIcon1Click();
  EXPECT_EQ(Calls(), (TCalls{"normal", "move 196,227", "front"}));
  Form.TrayIcon1Click();
  EXPECT_EQ(Calls(), TCalls{"hide"});
  Window.Frame.Left = 40;
  Form.TrayIcon1Click();
  EXPECT_EQ(Calls(), (TCalls{"normal", "front"}));
  EXPECT_EQ(Window.Frame.Left, 40);
}

TEST(MainFormPlacement, CentresInTheWorkAreaButNeverAboveOrLeftOfIt) {
  struct TCase {
    TScreenRect Area;
    TScreenRect Frame;
    int Left;
    int Top;
  };
  for (const TCase& Case : {
           TCase{{0, 0, 1024, 768}, {0, 0, 624, 368}, 200, 200},
           TCase{{100, 40, 1024, 768}, {0, 0, 624, 368}, 300, 240},  // taskbar left and top
           TCase{{0, 0, 600, 300}, {0, 0, 624, 368}, 0, 0},          // larger than the screen
           TCase{{-1280, 0, 1280, 1024}, {0, 0, 624, 368}, -952, 328},
       }) {
    const TScreenRect Place = TSyncMainForm::CentredPlace(Case.Area, Case.Frame);
    EXPECT_EQ(Place.Left, Case.Left);
    EXPECT_EQ(Place.Top, Case.Top);
    EXPECT_EQ(Place.Width, Case.Frame.Width);
    EXPECT_EQ(Place.Height, Case.Frame.Height);
  }
}

TEST_F(MainForm, SystemCommandsAreComparedWhole) {
  struct TCase {
    std::uintptr_t Command;
    bool AllowClose;
    bool Default;
    TCalls Made;
  };
  for (const TCase& Case : {
           TCase{TSyncMainForm::ScMinimize, false, false, {"hide"}},
           TCase{TSyncMainForm::ScMinimize, true, false, {"hide"}},
           TCase{TSyncMainForm::ScClose, false, false, {"hide"}},
           TCase{TSyncMainForm::ScClose, true, true, {"remove icon"}},
           // The low four bits are not masked: such commands take the
           // default path, whatever allowclose says.
           TCase{TSyncMainForm::ScMinimize | 2, false, true, {}},
           TCase{TSyncMainForm::ScClose | 1, false, true, {}},
           TCase{0xF030 /* SC_MAXIMIZE */, false, true, {}},
       }) {
    TRecordingWindow Window;
    Window.Visible = true;
    TSyncMainForm Form(Window, [](ISyncView&) { return std::make_unique<TIdleControl>(); });
    Form.FormCreate();
    if (Case.AllowClose) Form.N1Click();
    Window.Calls.clear();
    EXPECT_EQ(Form.WMSysCommand(Case.Command), Case.Default) << std::hex << Case.Command;
    EXPECT_EQ(Window.Calls, Case.Made) << std::hex << Case.Command;
  }
}

TEST_F(MainForm, CloseProgramAllowsTheCloseThatFollows) {
  EXPECT_FALSE(Form.allowclose());
  Form.N1Click();
  EXPECT_TRUE(Form.allowclose());
  EXPECT_EQ(Calls(), TCalls{"close"});
}

TEST_F(MainForm, ARefusedIconRemovalStopsTheCloseWithItsMessage) {
  Form.N1Click();
  Window.RefuseIconRemoval = true;
  // As a window runs it: the default handling only on a true answer.
  bool Default = false;
  Form.Guarded([&] { Default = Form.WMSysCommand(TSyncMainForm::ScClose); });
  EXPECT_FALSE(Default);
  EXPECT_EQ(Calls(), (TCalls{"close", "error Cannot remove shell notification icon"}));
}

TEST(MainFormStart, ShowCommandDecidesWhetherTheWindowShows) {
  struct TCase {
    int ShowCommand;
    bool Tray;
    TCalls Made;
  };
  for (const TCase& Case : {
           TCase{TSyncMainForm::SwShowMaximized, true, {"maximized"}},
           TCase{TSyncMainForm::SwShowMinNoActive, true, {"minimized"}},
           TCase{TSyncMainForm::SwShowNormal, true, {}},
           TCase{0 /* SW_HIDE */, true, {}},
           TCase{2 /* SW_SHOWMINIMIZED */, true, {}},
           TCase{10 /* SW_SHOWDEFAULT */, true, {}},
           // Without a notification area the window is the only way in.
           TCase{TSyncMainForm::SwShowNormal, false, {"normal", "move 196,227", "front"}},
       }) {
    TRecordingWindow Window;
    Window.Tray = Case.Tray;
    TSyncMainForm Form(Window, [](ISyncView&) { return std::make_unique<TIdleControl>(); });
    Form.FormCreate();
    Form.ShowAtStart(Case.ShowCommand);
    EXPECT_EQ(Window.Calls, Case.Made) << Case.ShowCommand;
  }
}

TEST_F(MainForm, WithoutANotificationAreaHidingMinimizesInstead) {
  Window.Tray = false;
  Window.Visible = true;
  EXPECT_FALSE(Form.WMSysCommand(TSyncMainForm::ScClose));
  Form.TrayIcon1Click();
  EXPECT_EQ(Calls(), (TCalls{"minimized", "minimized"}));
}

TEST_F(MainForm, TheFolderChoiceReachesItsEditBoxWithOneTrailingDelimiter) {
  const std::string Delim(1, PathDelim);
  Window.ChosenFolder = "till";
  Form.SpeedButtonClick(TFolderEdit::Scales);
  Window.ChosenFolder = "root" + Delim;  // a drive's root keeps its one delimiter
  Form.SpeedButtonClick(TFolderEdit::Kassa);
  Window.ChosenFolder = std::nullopt;  // cancelled: the edit box keeps its text
  Form.SpeedButtonClick(TFolderEdit::Kassa);
  const std::string Instruction = "browse Выберите директорию кассы";
  EXPECT_EQ(Calls(), (TCalls{Instruction, "scales till" + Delim, Instruction, "kassa root" + Delim,
                             Instruction}));
}

TEST_F(MainForm, AnErrorEscapingAHandlerIsReportedAndTheProgramGoesOn) {
  Form.Guarded([] { throw std::runtime_error("Unable to write to Quorvel.ini"); });
  Form.Guarded([] {});
  EXPECT_EQ(Calls(), TCalls{"error Unable to write to Quorvel.ini"});
}

}  // namespace
