#include "app/Options.hpp"

namespace joyrelay {

OptionsParse parseOptions(const std::vector<std::string>& args) {
    OptionsParse r;
    Options& o = r.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::optional<std::string>& into) {
            if (i + 1 >= args.size()) {
                r.error = a + " needs a value";
                return;
            }
            into = args[++i];
        };
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--headless") {
            o.headless = true;
        } else if (a == "--print-keys") {
            o.printKeys = true;
        } else if (a == "--fast") {
            o.fast = true;
        } else if (a == "--replay") {
            value(o.replay);
        } else if (a == "--record") {
            value(o.record);
        } else if (a == "--key-output") {
            value(o.keyOutput);
            if (o.keyOutput && *o.keyOutput != "uinput" && *o.keyOutput != "xtest" &&
                *o.keyOutput != "print" && *o.keyOutput != "virtual-keyboard" && *o.keyOutput != "fake-input" &&
                *o.keyOutput != "remote-desktop") {
                r.error = "--key-output must be uinput, virtual-keyboard, fake-input, remote-desktop, xtest or print";
            }
        } else {
            r.error = "unknown option: " + a;
        }
        if (r.error) return r;
    }
    if (o.keyOutput && *o.keyOutput == "print") o.printKeys = true;
    if (o.fast && !o.replay) r.error = "--fast only applies to --replay";
    if (o.record && o.replay) r.error = "--record records the real stick; it cannot be used with --replay";
    return r;
}

std::string usageText() {
    return "Usage: tamberlo-joyrelay [OPTIONS]\n"
           "\n"
           "Turns an Xbox-protocol arcade stick (vendor 2dc8) into keyboard keys for web games.\n"
           "Keys go down only while a web browser is the active window.\n"
           "\n"
           "Options:\n"
           "  --headless           run without the tray icon; status changes go to the log\n"
           "  --replay FILE        play a recorded capture instead of reading the real stick\n"
           "  --fast               with --replay: do not keep the capture's timing\n"
           "  --print-keys         print each key transition (\"<ms> <key> down|up\") on standard\n"
           "                       output instead of posting it; the browser-only rule is off\n"
           "  --key-output KIND    how keys are posted: uinput, virtual-keyboard (wlroots),\n"
           "                       fake-input (KDE Plasma), remote-desktop (GNOME), xtest or print\n"
           "  --record FILE        save every report of the real stick to FILE as a capture\n"
           "                       (the file is replaced; it is complete at each release and at quit)\n"
           "  --version            print the version and exit\n"
           "  --help               print this help and exit\n"
           "\n"
           "Environment:\n"
           "  JOYRELAY_ANY_APP=1   let keys go down whatever application is active\n"
           "\n"
           "Log: $XDG_STATE_HOME/Tamberlo Joyrelay.log (else ~/.local/state/Tamberlo Joyrelay.log)\n";
}

}  // namespace joyrelay
