// SHA-256 through nettle, the crypto library libarchive itself links on Debian.
#include "cli/sha256.h"

#include <nettle/sha2.h>

#include <cstdio>
#include <fstream>

namespace vardenix::cli {
namespace {

std::string Hex(sha256_ctx& ctx) {
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  std::string hex;
  char two[3];
  for (const uint8_t b : digest) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  return Hex(ctx);
}

std::string FileSha256(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return std::string();
  sha256_ctx ctx;
  sha256_init(&ctx);
  char buffer[65536];
  while (in) {
    in.read(buffer, sizeof buffer);
    sha256_update(&ctx, static_cast<size_t>(in.gcount()), reinterpret_cast<const uint8_t*>(buffer));
  }
  if (in.bad()) return std::string();
  return Hex(ctx);
}

}  // namespace vardenix::cli
