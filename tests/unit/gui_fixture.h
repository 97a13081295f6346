// Shared pieces of the text-mode back end's tests: faces with the facets the
// renderer reads, widgets placed at a box for a face the way the platform's
// make-view places them, and the active window rendered with what it writes
// captured.
#pragma once

#include <string>

#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "tests/unit/qel_fixture.h"
#include "runtime/output.h"
#include "datatypes/block.h"

namespace qel::gui::testing_gui {

// A face object whose renderer facets are none, then `facets`, which may
// set any of them (its type too).
inline Cell make_face(const std::string& facets) {
  return testing_qel::run(
      "make object! [type: none text: none color: none font: none para: none options: none draw: none "
      "pane: none state: none " +
      facets + "]");
}

// A widget of `type` at a box under `parent` (a window when null) for
// `face`, its handle first in the face's state block. It is not yet in its
// parent's pane: see attach.
inline Widget* new_widget(Widget* parent, const char* type, int x, int y, int w, int h, const Cell& face,
                          uint32_t flags = 0) {
  Widget* wd = make_widget(parent);
  wd->type = type_symbol(type);
  wd->flags = flags;
  wd->left = static_cast<float>(x);
  wd->top = static_cast<float>(y);
  wd->right = static_cast<float>(x + w);
  wd->bottom = static_cast<float>(y + h);
  wd->face = face;
  Cell* state = face_field(&wd->face, "state");
  block::make_at(state, 4);
  Cell handle;
  make_widget_handle(&handle, wd);
  block::rs_append(state, &handle);
  return wd;
}

// A child goes into its parent's pane and is announced as created; a window
// gets its class.
inline void attach(Widget* wd) {
  if (Widget* parent = wd->parent) {
    Cell* pane = face_field(&parent->face, "pane");
    if (!pane->is(TypeId::block)) block::make_at(pane, 4);
    block::rs_append(pane, &wd->face);
    on_widget_created(wd);
  } else {
    make_window_class(wd);
  }
}

inline Widget* add_widget(Widget* parent, const char* type, int x, int y, int w, int h, const Cell& face,
                          uint32_t flags = 0) {
  Widget* wd = new_widget(parent, type, x, y, w, h, face, flags);
  attach(wd);
  return wd;
}

// Makes a window the active one; the cursor hiding that goes with it is
// kept off the output.
inline void activate_quietly(Widget* window) {
  std::string hidden;
  output::begin_capture(&hidden);
  activate_window(window_record_of(window));
  output::end_capture();
}

// Renders and writes the active window; the bytes written.
inline std::string captured_refresh() {
  std::string out;
  output::begin_capture(&out);
  screen().redraw = true;
  refresh_screen();
  output::end_capture();
  return out;
}

}  // namespace qel::gui::testing_gui
