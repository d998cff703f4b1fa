/* For the desktop tests only, never shipped: activates windows on request, and leaves the overview
 * GNOME Shell starts in. Owns org.tamberlo.Joyrelay.FocusTest, object /org/tamberlo/Joyrelay/FocusTest. */
const { Gio } = imports.gi;
const Main = imports.ui.main;

const IFACE = `<node>
  <interface name="org.tamberlo.Joyrelay.FocusTest">
    <method name="Activate"><arg type="s" direction="in" name="id"/><arg type="b" direction="out" name="found"/></method>
    <method name="ActivateTitle"><arg type="s" direction="in" name="part"/><arg type="b" direction="out" name="found"/></method>
    <method name="HideOverview"/>
  </interface>
</node>`;

class FocusTest {
    enable() {
        this._impl = Gio.DBusExportedObject.wrapJSObject(IFACE, this);
        this._impl.export(Gio.DBus.session, '/org/tamberlo/Joyrelay/FocusTest');
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, 'org.tamberlo.Joyrelay.FocusTest',
            Gio.BusNameOwnerFlags.NONE, null, null);
        if (Main.layoutManager._startingUp)
            this._startupId = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        else
            Main.overview.hide();
    }

    disable() {
        if (this._startupId)
            Main.layoutManager.disconnect(this._startupId);
        Gio.bus_unown_name(this._nameId);
        this._impl.unexport();
    }

    HideOverview() {
        Main.overview.hide();
    }

    // id: the window's wm_class, GTK application id or sandboxed app id.
    Activate(id) {
        for (const actor of global.get_window_actors()) {
            const w = actor.meta_window;
            if ([w.get_wm_class(), w.get_gtk_application_id(), w.get_sandboxed_app_id()].includes(id)) {
                Main.activateWindow(w);
                return true;
            }
        }
        return false;
    }

    // part: a piece of the window's title.
    ActivateTitle(part) {
        for (const actor of global.get_window_actors()) {
            const w = actor.meta_window;
            if ((w.get_title() || '').includes(part)) {
                Main.activateWindow(w);
                return true;
            }
        }
        return false;
    }
}

function init() {
    return new FocusTest();
}
