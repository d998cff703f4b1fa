#!/bin/sh
# Runs a test binary the way the usb harness needs it: with libumockdev-preload.so.0 loaded into
# the test process itself (the testbed sends its plug/unplug uevents through it).
# Sanitizer runtimes insist on coming first in the library list, which the preload library now
# does; tell ASan not to check (children inherit this, so sanitized programs under test work too).
export ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
exec umockdev-wrapper "$@"
