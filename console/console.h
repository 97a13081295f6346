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
//
// The Qel side: console/input.qel (`ask`), console.qel (the script start and
// the loop), shell.qel (`ls`, `ll` ...), settings.qel (the settings file
// `Qel-Console/console-cfg.qel` under the cache folder: a folder that cannot
// be made means one warning and no persistence, values of the wrong type are
// replaced by the defaults, and its warnings go to standard error; and `cli-
// console-ctx/launch`), help.qel and complete.qel. A script that cannot start
// (no such file, unreadable, no `Qel [` header) exits with 1, one that ends
// in an uncaught error with 254, unless "--catch" keeps the console open; one
// whose last value is an error it never raised ends quietly with 0. Results
// are molded flat, cut to leave room for the prompt last shown; cuts and
// columns count display columns (the routines `text-columns` and `chars-in-
// columns`). A command that sets `system/console/buffer`, `delimiters` or
// `cue` to a value of the wrong kind gets a fresh one; `input-stdin`, `ask`
// and `input` answer none at the end of the input. Ctrl-C while a command
// runs at the interactive console halts it (`_halt-on-interrupt`).
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
