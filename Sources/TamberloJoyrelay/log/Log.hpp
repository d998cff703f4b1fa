// The log: one timestamped line per event in "Tamberlo Joyrelay.log", mirrored to standard error.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace joyrelay {

// Text as it may appear in a log line or on a terminal: control characters are escaped ("\n", "\r",
// "\t", "\x1b", C1 controls as "\u009b"), and so are bytes that are not UTF-8 ("\xff"), so that no
// text from outside (an environment value, a path, a D-Bus string) can start a line of its own or
// send a terminal a command. Everything else, backslashes included, is kept as it is.
std::string printableText(std::string_view text);

// The path as shown in messages: printableText of it.
inline std::string printablePath(std::string_view path) { return printableText(path); }

// The user's home folder: $HOME when it is an absolute path, else the one in the password database;
// empty when neither is known. Never a shared folder such as /tmp.
std::filesystem::path homeFolder();

// One log file. Every line is opened, appended and closed; a missing file is created by writing the
// line to a temporary file beside it and moving that into place. File errors are swallowed. The file
// is never opened through a symbolic link, and anything but a regular file in its place (a FIFO, a
// device) is left alone; the console copy says so once. So it does, once per reason, when the file
// cannot be opened or created (a symbolic link in its place, a read-only folder, a full disk). A line that follows one cut short (a full
// disk) starts on a line of its own. With an empty path only the console copy is written.
class LogFile {
public:
    explicit LogFile(std::filesystem::path path, bool mirrorToConsole = true);

    // Writes "[joyrelay] <message>" to standard error, then "<yyyy-MM-dd HH:mm:ss> <message>" to the
    // file, the message made printable (printableText): one message is always one line, whatever
    // it holds. Never fails, callable from any thread. Once a write to standard error fails (its reader
    // has gone), there is no console copy any more.
    void info(std::string_view message);

    const std::filesystem::path& path() const { return path_; }

    void setListener(std::function<void(std::string_view)> listener);

    // Waits for a line being written and writes no further line to the file (the console still
    // gets them): the last line stays the last, whole, when the process ends right after.
    void finish();

private:
    void append(const std::string& line);
    int write(const std::string& line);  // 0, or the errno of the failure
    void console(std::string_view message);
    std::filesystem::path path_;
    bool mirror_;
    int unwritableSaid_ = 0;  // the errno of the last "cannot write" console note, 0 after a success
    std::mutex lock_;
    std::function<void(std::string_view)> listener_;
    bool finished_ = false;
};

class Log {
public:
    Log() = delete;

    // Logs one message to the program's log. Callable from any thread.
    static void info(std::string_view message);

    // "$XDG_STATE_HOME/Tamberlo Joyrelay.log", else "~/.local/state/Tamberlo Joyrelay.log" (see
    // homeFolder); empty when there is no home folder.
    static std::filesystem::path defaultPath();

    // The log of this process, created (with its folder) at first use.
    static LogFile& shared();

    // Also hands every message, made printable, to `listener` (after the file write, in the order lines were written);
    // an empty function removes it. Used by headless runs and tests.
    static void setListener(std::function<void(std::string_view)> listener);

    // Ends the file log of this process (see LogFile::finish); called on the way out.
    static void finish();
};

}  // namespace joyrelay
