// Tab completion in the console: the hook through which the line editor
// asks the console's Qel side (`qel-complete-ctx/complete-input`,
// console/complete.qel) to complete the line at the cursor.
#pragma once

namespace qel::console {

// Registers the completion hook with the line editor. Called when the
// console launches, once the library (and so `qel-complete-ctx`) exists.
void install_completion();

}  // namespace qel::console
