// The console's C++ side: the routines through which the console written
// in Qel (console/*.qel) reaches the terminal, and the launch that start-up
// calls once the library is defined.
//
// The Qel side reads every line with `ask`, which hands its buffer and
// history to `_set-buffer-history` and then calls `_read-input`. When
// standard input and output are both terminals, `_read-input` edits the line
// in place (console/line_editor.h over console/terminal.h); otherwise it
// reads the next line of standard input (console/stdin_reader.h) and shows
// no prompt. At the end of the input it answers false, and `ask` gives none.
//
// Around each command the loop evaluates, `_halt-on-interrupt` makes Ctrl-C
// halt the evaluation (as `halt` does) instead of ending the program, when
// the console is interactive (runtime/signals.h). `_print-warning` writes
// the console's warnings to the standard error.
//
// The routines are bound when the console launches (cli_console::launch),
// before `cli-console-ctx/launch` runs: the global words `_set-buffer-history`,
// `_read-input`, `_terminate-console`, `_halt-on-interrupt`, `_print-warning`,
// `input-stdin` and `read-stdin`, and the field `system/console/init`.
#pragma once

#include "console/line_editor.h"

namespace qel::console {

// Binds the console's routines (see above). Start-up's launch does it; test
// drivers that evaluate console code without launching call it themselves.
void define_routines();

// Completion: the hook the line editor calls on Tab. None is set until
// completion exists; without it Tab is an ordinary character.
void set_completion_hook(CompletionHook hook);

}  // namespace qel::console
