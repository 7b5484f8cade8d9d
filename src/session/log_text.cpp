#include "session/log_text.h"

std::string printableText(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return text;
}

std::string withoutFinalLineBreak(std::string text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
  return text;
}
