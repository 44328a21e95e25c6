// Fingerprints of the 512-byte sectors of a run's result, kept in its undo copy: by them the next
// run tells what a cut left of the target (each sector the old contents or the result, as a disk
// tears a write) from a file that someone changed since.
#ifndef PAIRSET_SYSTEM_FINGERPRINT_H_
#define PAIRSET_SYSTEM_FINGERPRINT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pairset {

// The unit in which a disk writes, and tears, a file.
inline constexpr std::size_t kSectorSize = 512;

// Gives the number of sectors of a file of `size` bytes, the last one partial.
constexpr std::uint64_t sectors_of(std::uint64_t size) {
  return (size + kSectorSize - 1) / kSectorSize;
}

// Gives the fingerprint of the bytes of one sector (fewer at the end of a file).
std::uint64_t sector_fingerprint(std::span<const char> bytes);

// Gathers the fingerprints of a file's sectors from its bytes, given in order in any pieces.
class SectorFingerprints {
 public:
  void add(std::span<const char> bytes);
  // Gives the fingerprints of the whole sectors added since the last call.
  std::vector<std::uint64_t> take();
  // Gives the rest: those of take, and of the last, partial sector.
  std::vector<std::uint64_t> finish();

 private:
  std::array<char, kSectorSize> sector_{};
  std::size_t filled_ = 0;
  std::vector<std::uint64_t> prints_;
};

}  // namespace pairset

#endif  // PAIRSET_SYSTEM_FINGERPRINT_H_
