// Wiping memory that held a secret (a password, a record holding one)
// before it is given back: stores that the compiler may not drop as never
// read again.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

void wipeMemory(void* data, std::size_t size);

inline void wipeText(std::string& text) { wipeMemory(text.data(), text.size()); }

// A text holding a secret, wiped where it ends. Built in place from the
// text that makes it (WipedText{login.password()}), so that no copy of
// the secret is left behind on the way.
struct WipedText {
  std::string text;

  ~WipedText() { wipeText(text); }
};

}  // namespace platform
