// Every text of the system, once. The Windows build compiles this with -fexec-charset=CP932,
// so the Japanese texts become code page 932 bytes there and stay UTF-8 on Linux. It includes
// nothing of the system, so that the core and the platform backends (the Linux one serves the
// string table from here) both read it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelm::msg {

// Names.
inline constexpr char kServiceName[] = "KelmService";
inline constexpr char kDisplayName[] = "Kelm Service";
inline constexpr char kDescription[] =
    "ファイルの受信を監視してプログラムを起動する機能を提供します。";

// Settings files and log files.
inline constexpr char kServiceIni[] = "kelmservice.ini";
inline constexpr char kTaskIni[] = "task.ini";
inline constexpr char kCheckDirSection[] = "CheckDir";
inline constexpr char kCheckDirKey[] = "CheckDir";
inline constexpr char kPollSecondsKey[] = "PollSeconds";
inline constexpr char kCheckFileKey[] = "CheckFile";
inline constexpr char kTaskKey[] = "Task";
inline constexpr char kParaKey[] = "Para";
inline constexpr char kLogDir[] = "log";
// Beside the settings: the stamps each task's program was last started for.
inline constexpr char kStateFile[] = "kelmservice.state";
inline constexpr char kDayFilePrefix[] = "service-";
inline constexpr char kDayMarker[] = "logctrl";

// Command line and message boxes.
inline constexpr char kSwitchInstall[] = "install";
inline constexpr char kSwitchRemove[] = "remove";
inline constexpr char kSwitchVersion[] = "ver";
inline constexpr char kSwitchDebug[] = "debug";
inline constexpr char kVersionText[] = "Version:1.0.2005.1117";
inline constexpr char kDebugBoxText[] = "Terminate ?";
inline constexpr char kDebugBoxCaption[] = "zup service - debug mode";

// Log lines.
inline constexpr char kLogPrefix[] = "[%02d/%02d/%02d %02d:%02d:%02d]";
inline constexpr char kSeparatorLine[] =
    "============================================================\n";
inline constexpr char kDispatcherFailed[] = "StartServiceCtrlDispatcher()に失敗しました。.\n";
inline constexpr char kWatchFailed[] = "ディレクトリの監視に失敗しました。\n";
inline constexpr char kWatchResumed[] = "ディレクトリの監視を再開しました。\n";
// The folder and the system's reason, which brings its own line end.
inline constexpr char kWatchFailedWhy[] = "%s - %s";
inline constexpr char kLookingOnly[] =
    "%s の変更は通知されないため、チェックファイルを見て確認します。 - %s";
inline constexpr char kStartedProgram[] = "%s %s を起動しました。\n";
// The error text at the end of these two lines brings its own line end.
inline constexpr char kProgramNotStarted[] = "%s %s を起動できませんでした。 - %s";
inline constexpr char kWeakerCheck[] =
    "%s が他で開かれているか確認できないため、書き込みが止まったことで確認します。 - %s";
inline constexpr char kSettingsFileBad[] =
    "設定ファイル（KelmService."
    "ini）が読み込めなかったか、指定している監視ディレクトリが正しくありま"
    "せん。\n";
inline constexpr char kThreadCreateFailed[] =
    "ファイル受信監視スレッド[%s]の生成に失敗しました。\n";
inline constexpr char kThreadCreated[] = "ファイル受信監視スレッド[%s]を生成しました。\n";
inline constexpr char kNoTask[] = "Taskが一つも指定されていません。task.iniを設定してください。\n";
inline constexpr char kStartFailed[] = "サービスを開始に失敗しました。\n";
inline constexpr char kServiceStarted[] = "サービスを開始しました。\n";
// The state file: its reason (English, or the system's error text) ends the line.
inline constexpr char kStateUnusable[] =
    "状態ファイル %s が使えないため、停止中に届いたファイルは確認しません。 - %s";
inline constexpr char kStateNotWritten[] = "状態ファイル %s に書き込めませんでした。 - %s";
inline constexpr char kPollSecondsBad[] =
    "PollSeconds=%s は使えません。空（自動）、0（見ない）、1 から "
    "3600（秒）のいずれかを指定してください。\n";
// The check file cannot be opened for a reason other than its being held; the system's reason
// ends the line.
inline constexpr char kCheckNotOpened[] = "%s を開けないため、確認できません。 - %s";
// A settings value: the file, its section and its key.
inline constexpr char kSettingNotUtf8[] =
    "%s の [%s] %s は UTF-8 の文字列ではないため、書かれたバイトのまま使います。"
    "UTF-8 で保存してください。\n";
inline constexpr char kSettingNoForm[] =
    "%s の [%s] %s には、このシステムのコード ページで表せない文字があるため、使えません。"
    "その文字を使わない値にするか、システムのコード ページを UTF-8 にしてください。\n";
inline constexpr char kCaughtUp[] = "%s は停止中に届いています。\n";
inline constexpr char kWatcherHeldUp[] =
    "ファイル受信監視スレッド[%s]は監視ディレクトリ %s "
    "が応答しないため、終了を待たずに停止します。\n";
inline constexpr char kServiceEnded[] = "サービスを終了しました。\n";

// Install and remove.
inline constexpr char kCannotInstall[] = "%sをインストールできませんでした。 - %s\n";
inline constexpr char kOpenManagerFailed[] = "OpenSCManager()に失敗しました。 - %s\n";
inline constexpr char kInstalled[] = "%sをインストールしました。\n";
inline constexpr char kAlreadyInstalled[] = "%sは既にインストールされています。\n";
inline constexpr char kCreateServiceFailed[] = "CreateServiceに失敗しました。 - %s\n";
inline constexpr char kNotInstalled[] = "%sはインストールされていません。\n";
inline constexpr char kOpenServiceFailed[] = "OpenService()に失敗しました。 - %s\n";
inline constexpr char kStopping[] = "%sを停止中です。\n";
inline constexpr char kStopped[] = "%sを停止しました。\n";
inline constexpr char kCouldNotStop[] = "%sを停止できませんでした。\n";
inline constexpr char kRemoved[] = "%sをサービスから削除しました。\n";
inline constexpr char kDeleteServiceFailed[] = "DeleteService()に失敗しました。 - %s\n";

// The reason line of a task whose settings fail: the executable's string resources, by the
// task's error code. The line is written with the text as its format, so no '%' here.
inline constexpr char kReasonIniMissing[] = "設定ファイル（task.ini）が読み込めませんでした。\n";
inline constexpr char kReasonKeyMissing[] =
    "CheckFileまたはTaskが指定されていないか、CheckFile、Task、Paraのいずれかが長すぎます。\n";

// What each event record says: the event viewer's description (Windows, from the executable's
// message table) and the journal's message (Linux). The records carry no insertion strings,
// so no '%' here either.
inline constexpr char kEventDispatcherFailedText[] =
    "サービスディスパッチャーの開始に失敗しました。";
inline constexpr char kEventStatusFailedText[] = "サービスの状態の報告に失敗しました。";
inline constexpr char kEventServiceStartingText[] = "サービスを開始しています。";
inline constexpr char kEventServiceStoppedText[] = "サービスを終了しました。";
inline constexpr char kEventTaskConfigFailedText[] =
    "タスクの設定が読み込めませんでした。詳しくはログを参照してください。";

// The two tables by number. The Windows build compiles them into the executable's string
// table and message table (cmake/win32_resources.cmake reads them from this file, so keep
// each entry on one line and each text one literal per line).
struct TextById {
  std::uint32_t id;
  const char* text;
};
inline constexpr TextById kStringResources[] = {
    {2001, kReasonIniMissing},
    {2002, kReasonKeyMissing},
};
inline constexpr TextById kEventMessages[] = {
    {0xC0000001, kEventDispatcherFailedText}, {0xC0000002, kEventStatusFailedText},
    {0x00000003, kEventServiceStartingText},  {0x00000004, kEventServiceStoppedText},
    {0xC0000008, kEventTaskConfigFailedText},
};

// The text of id in a table, or null.
template <std::size_t N>
constexpr const char* TextOf(const TextById (&table)[N], std::uint32_t id) {
  for (const TextById& entry : table) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

// Registry keys.
inline constexpr char kEventSourceKeyBase[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
inline constexpr char kServicesKeyBase[] = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr char kEventMessageFileValue[] = "EventMessageFile";
inline constexpr char kTypesSupportedValue[] = "TypesSupported";
inline constexpr char kDescriptionValue[] = "Description";

}  // namespace kelm::msg
