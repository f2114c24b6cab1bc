#pragma once

// Marks a function the loader, the engine or other code in the process calls
// by its plain name. Everything else in the plugin is hidden. The engine and
// the loader may call with a 4-byte aligned stack on i386, hence the
// realignment (the i386 build also assumes that alignment everywhere).
// Engine-neutral, so core modules may export too.
#define IRONPOST_EXPORT extern "C" __attribute__((visibility("default"), force_align_arg_pointer))
