# The GNOME Shell focus extension in its two forms, written at configure time from one source:
#   ${JOYRELAY_GNOME_EXTENSION_DIR}/module/joyrelay-focus@tamberlo/   GNOME Shell 45 and later (ES modules)
#   ${JOYRELAY_GNOME_EXTENSION_DIR}/legacy/joyrelay-focus@tamberlo/   GNOME Shell 40-44 (imports, init())
# extension.js is the module form; the imports form swaps its import lines for `imports.gi`, drops the
# Extension base class and adds the init() that GNOME 40-44 call.
set(_jr_ext_src ${CMAKE_CURRENT_LIST_DIR})
set(JOYRELAY_GNOME_EXTENSION_DIR ${CMAKE_BINARY_DIR}/packaging/gnome-shell-extension)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${_jr_ext_src}/extension.js ${_jr_ext_src}/metadata.json.in)

file(READ ${_jr_ext_src}/extension.js _jr_module_js)
set(_jr_module_imports [=[import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Shell from 'gi://Shell';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
]=])
set(_jr_module_class "export default class FocusPublisher extends Extension {")
foreach(_jr_part _jr_module_imports _jr_module_class)
  string(FIND "${_jr_module_js}" "${${_jr_part}}" _jr_at)
  if(_jr_at EQUAL -1)
    message(FATAL_ERROR "${_jr_ext_src}/extension.js: the imports form cannot be derived; expected:\n${${_jr_part}}")
  endif()
endforeach()
string(REPLACE "${_jr_module_imports}" "const { Gio, GLib, Shell } = imports.gi;\n" _jr_legacy_js "${_jr_module_js}")
string(REPLACE "${_jr_module_class}" "class FocusPublisher {" _jr_legacy_js "${_jr_legacy_js}")
string(APPEND _jr_legacy_js "\nfunction init() {\n    return new FocusPublisher();\n}\n")

foreach(_jr_form legacy module)
  set(_jr_out ${JOYRELAY_GNOME_EXTENSION_DIR}/${_jr_form}/joyrelay-focus@tamberlo)
  if(_jr_form STREQUAL legacy)
    set(JOYRELAY_SHELL_VERSIONS [["40", "41", "42", "43", "44"]])
    file(CONFIGURE OUTPUT ${_jr_out}/extension.js CONTENT "${_jr_legacy_js}" @ONLY)
  else()
    set(JOYRELAY_SHELL_VERSIONS [["45", "46", "47", "48", "49"]])
    file(CONFIGURE OUTPUT ${_jr_out}/extension.js CONTENT "${_jr_module_js}" @ONLY)
  endif()
  configure_file(${_jr_ext_src}/metadata.json.in ${_jr_out}/metadata.json @ONLY)
endforeach()
