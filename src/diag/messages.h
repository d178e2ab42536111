// Every text of the system, once. The Windows build compiles this with -fexec-charset=CP932,
// so the Japanese texts become code page 932 bytes there and stay UTF-8 on Linux.
#pragma once

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
inline constexpr char kCheckFileKey[] = "CheckFile";
inline constexpr char kTaskKey[] = "Task";
inline constexpr char kParaKey[] = "Para";
inline constexpr char kLogDir[] = "log";
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
inline constexpr char kStartedProgram[] = "%s %s を起動しました。\n";
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

// Registry keys.
inline constexpr char kEventSourceKeyBase[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
inline constexpr char kServicesKeyBase[] = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr char kEventMessageFileValue[] = "EventMessageFile";
inline constexpr char kTypesSupportedValue[] = "TypesSupported";
inline constexpr char kDescriptionValue[] = "Description";

}  // namespace kelm::msg
