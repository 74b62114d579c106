#!/bin/sh
# Runs a test program under umockdev-wrapper (fake sysfs and uevents).
# The wrapper preloads its library ahead of everything, so in the sanitizer
# build AddressSanitizer would refuse to start ("runtime does not come first").
# The preload only wraps file and socket calls and forwards them with
# RTLD_NEXT, which reaches the sanitizer's own wrappers, so the order check is
# turned off rather than the test skipped.
ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" exec umockdev-wrapper "$@"
