// The input decoder: UTF-8 characters and VT key sequences to key codes.
#include "console/keys.h"

namespace qel::console {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr int32_t kReplacement = 0xFFFD;
// A parameter larger than this is not a key number nor a screen position.
constexpr int32_t kParamLimit = 100000;

InputEvent key_event(int32_t key) { return InputEvent{InputEvent::Kind::key, key, 0, 0}; }

// The key of "ESC [ n ~".
int32_t tilde_key(int32_t n) {
  switch (n) {
    case 1:
    case 7:
      return key::home;
    case 4:
    case 8:
      return key::end;
    case 2:
      return key::insert;
    case 3:
      return key::delete_;
    case 5:
      return key::page_up;
    case 6:
      return key::page_down;
    default:
      return key::none;
  }
}

// The key of a final letter shared by "ESC [ x" and "ESC O x".
int32_t letter_key(uint8_t final_byte) {
  switch (final_byte) {
    case 'A':
      return key::up;
    case 'B':
      return key::down;
    case 'C':
      return key::right;
    case 'D':
      return key::left;
    case 'H':
      return key::home;
    case 'F':
      return key::end;
    default:
      return key::none;
  }
}

}  // namespace

std::optional<InputEvent> KeyDecoder::hold(uint8_t byte, InputEvent event) {
  held_ = byte;
  state_ = State::ground;
  return event;
}

std::optional<uint8_t> KeyDecoder::take_held() {
  std::optional<uint8_t> b = held_;
  held_.reset();
  return b;
}

std::optional<InputEvent> KeyDecoder::feed(uint8_t byte) {
  std::optional<InputEvent> e = step(byte);
  if (e && alt_) {
    alt_ = false;
    e->key += key::alt;
  }
  return e;
}

std::optional<InputEvent> KeyDecoder::step(uint8_t byte) {
  switch (state_) {
    case State::ground:
      if (byte == kEsc) {
        state_ = State::escape;
        return std::nullopt;
      }
      if (byte < 0x80) return key_event(byte);
      // A lead byte sets the sequence's length and the smallest code point
      // it may carry (shorter forms are overlong). C0, C1 and F5-FF can
      // never start a valid sequence; neither can a stray continuation.
      if (byte >= 0xC2 && byte <= 0xDF) {
        code_point_ = byte & 0x1F;
        remaining_ = 1;
        minimum_ = 0x80;
      } else if (byte >= 0xE0 && byte <= 0xEF) {
        code_point_ = byte & 0x0F;
        remaining_ = 2;
        minimum_ = 0x800;
      } else if (byte >= 0xF0 && byte <= 0xF4) {
        code_point_ = byte & 0x07;
        remaining_ = 3;
        minimum_ = 0x10000;
      } else {
        return key_event(kReplacement);
      }
      state_ = State::utf8;
      return std::nullopt;

    case State::utf8: {
      if ((byte & 0xC0) != 0x80) return hold(byte, key_event(kReplacement));
      code_point_ = (code_point_ << 6) | (byte & 0x3F);
      if (--remaining_ > 0) return std::nullopt;
      state_ = State::ground;
      bool valid = code_point_ >= minimum_ && code_point_ <= 0x10FFFF &&
                   !(code_point_ >= 0xD800 && code_point_ <= 0xDFFF);
      return key_event(valid ? static_cast<int32_t>(code_point_) : kReplacement);
    }

    case State::escape:
      if (byte == '[') {
        state_ = State::csi;
        params_[0] = params_[1] = 0;
        param_count_ = 0;
        private_marker_ = false;
        return std::nullopt;
      }
      if (byte == 'O') {
        state_ = State::ss3;
        return std::nullopt;
      }
      // ESC twice: the Esc key, and the second ESC starts anew.
      if (byte == kEsc) return hold(byte, key_event(key::escape));
      // ESC and then a key in the same burst: one key, Alt+key.
      state_ = State::ground;
      alt_ = true;
      return step(byte);

    case State::ss3:
      state_ = State::ground;
      if (byte < 0x20) return hold(byte, key_event(key::none));
      return key_event(letter_key(byte));

    case State::csi:
      if (byte >= '0' && byte <= '9') {
        if (param_count_ == 0) param_count_ = 1;
        if (param_count_ <= 2) {
          int32_t& p = params_[param_count_ - 1];
          if (p < kParamLimit) p = p * 10 + (byte - '0');
        }
        return std::nullopt;
      }
      if (byte == ';') {
        if (param_count_ == 0) param_count_ = 1;
        ++param_count_;
        return std::nullopt;
      }
      if (byte >= 0x3C && byte <= 0x3F) {  // < = > ?
        private_marker_ = true;
        return std::nullopt;
      }
      if (byte >= 0x20 && byte <= 0x2F) return std::nullopt;  // intermediates
      if (byte >= 0x40 && byte <= 0x7E) {
        state_ = State::ground;
        return finish_csi(byte);
      }
      // A control byte inside a sequence: the sequence is dropped and the
      // byte counts on its own (a Ctrl-C is never lost).
      return hold(byte, key_event(key::none));
  }
  return std::nullopt;
}

std::optional<InputEvent> KeyDecoder::finish_csi(uint8_t final_byte) {
  if (final_byte == 'R' && param_count_ == 2) {
    return InputEvent{InputEvent::Kind::cursor_report, 0, params_[0], params_[1]};
  }
  if (private_marker_) return key_event(key::none);
  if (final_byte == '~' && param_count_ == 1 && (params_[0] == 200 || params_[0] == 201)) {
    InputEvent e;
    e.kind = params_[0] == 200 ? InputEvent::Kind::paste_start : InputEvent::Kind::paste_end;
    return e;
  }
  if (final_byte == '~') return key_event(tilde_key(params_[0]));
  return key_event(letter_key(final_byte));
}

std::optional<InputEvent> KeyDecoder::flush_pending() {
  State was = state_;
  state_ = State::ground;
  bool alt = alt_;
  alt_ = false;
  switch (was) {
    case State::escape:
      return key_event(key::escape);
    case State::utf8:
      return key_event(alt ? key::alt + kReplacement : kReplacement);
    default:
      return std::nullopt;
  }
}

}  // namespace qel::console
