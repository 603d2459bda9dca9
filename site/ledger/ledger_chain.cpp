#include "ledger_chain.h"

#include <openssl/evp.h>

#include <memory>

namespace ledger {
namespace {

void Put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HashedBytes(const THash& prev, const TRecord& r) {
  std::string out(prev.begin(), prev.end());
  out.reserve(out.size() + 43 + r.captured.size() + r.payload.size());
  Put(out, r.wheel, 4);
  Put(out, r.pos, 8);
  Put(out, r.seq, 8);
  Put(out, r.epoch, 8);
  Put(out, static_cast<std::uint64_t>(r.arrivedMs), 8);
  out.push_back(r.replayed ? 1 : 0);
  // A property is at most 65535 bytes in MQTT, a payload well under 4 GiB.
  Put(out, r.captured.size() & 0xffff, 2);
  out.append(r.captured, 0, 0xffff);
  Put(out, r.payload.size(), 4);
  out += r.payload;
  if (r.kind.empty()) return out;
  Put(out, r.kind.size() & 0xff, 1);
  out.append(r.kind, 0, 0xff);
  for (const std::string* text : {&r.note, &r.prev, &r.key, &r.sig}) {
    Put(out, text->size() & 0xffff, 2);
    out.append(*text, 0, 0xffff);
  }
  return out;
}

bool RecordHash(const THash& prev, const TRecord& r, THash* pOut) noexcept {
  try {
    const std::string bytes = HashedBytes(prev, r);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned int n = 0;
    return ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) == 1 &&
           EVP_DigestFinal_ex(ctx.get(), pOut->data(), &n) == 1 && n == pOut->size();
  } catch (...) {
    return false;
  }
}

std::string HashHex(const THash& h) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : h) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

bool HashFromHex(const std::string& text, THash* pOut) {
  if (text.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*pOut)[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  return true;
}

}  // namespace ledger
