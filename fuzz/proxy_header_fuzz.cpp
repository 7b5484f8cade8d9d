// The first bytes of a connection, whatever they are, read as a PROXY
// header: the bytes are judged in order, so that as they arrive the answer
// is NeedMore for a while and then stays Bad, or stays Done with the same
// header; a header never takes bytes it was not given, and its addresses
// come back the same through their text, as the log and the bounds see them.
#include <cstdint>
#include <vector>

#include "platform/address_text.h"
#include "session/proxy_header.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool same(const ProxyHeader& a, const ProxyHeader& b) {
  return a.length == b.length && a.local == b.local && a.source == b.source &&
         a.destination == b.destination;
}

void checkAddress(const platform::NetAddress& address) {
  platform::NetAddress again = platform::NetAddress::ipv4(0x01020304);
  check(parseAddress(addressText(address), &again) && again == address);
}

// Parses the first `size` bytes from a copy of exactly that size, so that
// a read past them is the address sanitizer's to report.
ProxyParse parseCopy(const std::uint8_t* data, std::size_t size, ProxyHeader* header) {
  const std::vector<std::uint8_t> copy(data, data + size);
  return parseProxyHeader(copy.data(), copy.size(), header);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A header left alone by NeedMore and Bad.
  ProxyHeader untouched;
  untouched.length = kProxyHeaderMaxLength + 1;
  untouched.local = true;

  // The shortest beginning that decides, every shorter one NeedMore.
  std::size_t decided = 0;
  ProxyParse result = ProxyParse::NeedMore;
  ProxyHeader header = untouched;
  for (; decided <= size; ++decided) {
    result = parseProxyHeader(data, decided, &header);
    if (result != ProxyParse::NeedMore) break;
    check(decided < kProxyHeaderMaxLength);
    check(same(header, untouched));
  }
  if (result == ProxyParse::NeedMore) return 0;
  if (result == ProxyParse::Bad) {
    check(same(header, untouched));
    // More bytes never mend it.
    ProxyHeader later = untouched;
    check(parseProxyHeader(data, size, &later) == ProxyParse::Bad && same(later, untouched));
    return 0;
  }

  check(header.length == decided && header.length <= kProxyHeaderMaxLength);
  ProxyHeader again, whole;
  check(parseCopy(data, header.length, &again) == ProxyParse::Done && same(again, header));
  check(parseProxyHeader(data, size, &whole) == ProxyParse::Done && same(whole, header));
  if (header.local) {
    check(header.source == platform::Endpoint{} && header.destination == platform::Endpoint{});
  } else {
    check(header.source.address.family == header.destination.address.family);
    checkAddress(header.source.address);
    checkAddress(header.destination.address);
  }
  return 0;
}
