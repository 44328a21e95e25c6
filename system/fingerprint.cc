#include "system/fingerprint.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace pairset {

std::uint64_t sector_fingerprint(std::span<const char> bytes) {
  // Eight bytes at a time into eight lanes, each word mixed in by a multiply and a rotation, the
  // lanes then folded and scrambled once more (as MurmurHash3's finish): a changed byte changes
  // the fingerprint as if at random, and the lanes keep the processor's multiplier busy, so that
  // 128 MiB takes a few milliseconds.
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15U;
  constexpr std::size_t kLanes = 8;
  std::uint64_t lanes[kLanes] = {};
  lanes[0] = bytes.size();
  const auto mix = [&lanes](std::size_t lane, std::uint64_t word) {
    lanes[lane] = std::rotl((lanes[lane] ^ word) * kMultiplier, 29);
  };
  std::size_t at = 0;
  for (; at + 8 * kLanes <= bytes.size(); at += 8 * kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + at + lane * 8, 8);
      mix(lane, word);
    }
  }
  for (std::size_t lane = 0; at < bytes.size(); at += 8, ++lane) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + at, std::min<std::size_t>(8, bytes.size() - at));
    mix(lane, word);
  }
  std::uint64_t hash = 0;
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    hash = std::rotl(hash, 23) ^ (lanes[lane] + lane);
  }
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDU;
  hash ^= hash >> 33;
  hash *= 0xC4CEB9FE1A85EC53U;
  return hash ^ (hash >> 33);
}

void SectorFingerprints::add(std::span<const char> bytes) {
  while (!bytes.empty()) {
    if (filled_ == 0 && bytes.size() >= kSectorSize) {
      prints_.push_back(sector_fingerprint(bytes.first(kSectorSize)));
      bytes = bytes.subspan(kSectorSize);
      continue;
    }
    const std::size_t taken = std::min(bytes.size(), kSectorSize - filled_);
    std::memcpy(sector_.data() + filled_, bytes.data(), taken);
    filled_ += taken;
    bytes = bytes.subspan(taken);
    if (filled_ == kSectorSize) {
      prints_.push_back(sector_fingerprint(sector_));
      filled_ = 0;
    }
  }
}

std::vector<std::uint64_t> SectorFingerprints::take() {
  std::vector<std::uint64_t> taken;
  taken.swap(prints_);
  return taken;
}

std::vector<std::uint64_t> SectorFingerprints::finish() {
  if (filled_ > 0) prints_.push_back(sector_fingerprint({sector_.data(), filled_}));
  filled_ = 0;
  return take();
}

}  // namespace pairset
