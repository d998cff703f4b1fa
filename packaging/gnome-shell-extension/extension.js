/* Tamberlo Joyrelay focus, for GNOME Shell.
 *
 * Read-only: publishes the focused window's ids on the session bus, for Tamberlo Joyrelay's focus
 * gate. Owns org.tamberlo.Joyrelay.ShellFocus; at /org/tamberlo/Joyrelay/ShellFocus it answers
 * GetFocus() and emits FocusChanged whenever the focus moves, both with the same a{sv} map (empty
 * when no window has the focus).
 *
 * Written in the module form of GNOME Shell 45 and later; the build derives the imports form of
 * GNOME 40-44 from it (forms.cmake), so keep the import lines and the class line as they are. */
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Shell from 'gi://Shell';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

const BUS_NAME = 'org.tamberlo.Joyrelay.ShellFocus';
const OBJECT_PATH = '/org/tamberlo/Joyrelay/ShellFocus';
const IFACE = `<node>
  <interface name="org.tamberlo.Joyrelay.ShellFocus">
    <method name="GetFocus"><arg type="a{sv}" direction="out" name="info"/></method>
    <signal name="FocusChanged"><arg type="a{sv}" name="info"/></signal>
  </interface>
</node>`;

function str(value) {
    return new GLib.Variant('s', value || '');
}

function focusInfo() {
    const w = global.display.focus_window;
    if (!w)
        return {};
    const app = Shell.WindowTracker.get_default().get_window_app(w);
    return {
        'wm-class': str(w.get_wm_class()),
        'gtk-application-id': str(w.get_gtk_application_id()),
        'sandboxed-app-id': str(w.get_sandboxed_app_id()),
        'app-id': str(app ? app.get_id() : ''),
        'title': str(w.get_title()),
        'pid': new GLib.Variant('i', w.get_pid()),
    };
}

export default class FocusPublisher extends Extension {
    enable() {
        this._impl = Gio.DBusExportedObject.wrapJSObject(IFACE, {GetFocus: focusInfo});
        this._impl.export(Gio.DBus.session, OBJECT_PATH);
        // Never queued behind another owner: Tamberlo Joyrelay believes the name only while GNOME
        // Shell's own connection holds it, so waiting in line for it would serve nobody.
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.DO_NOT_QUEUE, null, null);
        this._focusId = global.display.connect('notify::focus-window', () => {
            this._impl.emit_signal('FocusChanged', new GLib.Variant('(a{sv})', [focusInfo()]));
        });
    }

    disable() {
        global.display.disconnect(this._focusId);
        Gio.bus_unown_name(this._nameId);
        this._impl.unexport();
        this._impl = null;
    }
}
