// Scratch memory pool used while one serial number is encoded.
//
// The pool header carries room for eight small cells in its own
// allocation, so that the one scratch buffer a short encoding needs costs
// no further heap allocation.  Small requests (up to kCellBytes) take a
// cell; when the cells run out a chunk of eight more is added.  Larger
// requests get a block of their own.  Nothing is released one by one:
// ZK_MEM_Destroy releases the whole pool.
#ifndef TESK_SRC_SCRATCH_POOL_H_
#define TESK_SRC_SCRATCH_POOL_H_

#include <cstddef>
#include <cstdint>

#include "step_code.h"

namespace tesk {

inline constexpr uint32_t kPoolMark = 0x01100000u;
inline constexpr uint32_t kBlockMark = 0x01100001u;
inline constexpr uint32_t kCellMark = 0x01100002u;
inline constexpr uint32_t kCellBytes = 24;
inline constexpr uint32_t kCellsPerGroup = 8;

// A small cell: a two-word head, then the caller's bytes.  While the cell
// is free the head links it to the next free cell; once handed out the
// head holds {-1, kCellMark}.
struct PoolCell {
  union Head {
    PoolCell *nextFree;
    struct Tag {
      int32_t inUse;
      uint32_t mark;
    } tag;
  } head;
  alignas(8) unsigned char bytes[kCellBytes];
};

// A further group of cells, added when the pool's own cells are used up.
struct PoolChunk {
  PoolChunk *next;
  PoolCell cells[kCellsPerGroup];
};

// Header of a large block; the caller's bytes follow it.
struct PoolBlock {
  PoolBlock *next;
  PoolBlock *previous;
  uint32_t mark;
};

struct ScratchPool {
  uint32_t mark;
  PoolBlock *firstBlock;
  PoolBlock *lastBlock;
  uint32_t blockCount;
  PoolCell *freeCells;
  PoolChunk *firstChunk;
  uint32_t chunkCount;
  PoolCell cells[kCellsPerGroup];
};

Status ZK_MEM_Create(ScratchPool **pool) noexcept;
Status ZK_MEM_Malloc(ScratchPool *pool, uint32_t size, unsigned char **address) noexcept;
Status ZK_MEM_Destroy(ScratchPool *pool) noexcept;

// Owns a pool for one scope.  destroy() releases it and reports the code;
// a pool still held at scope exit is released with the code ignored.
class PoolGuard {
 public:
  PoolGuard() = default;
  PoolGuard(const PoolGuard &) = delete;
  PoolGuard &operator=(const PoolGuard &) = delete;
  ~PoolGuard() {
    if (pool_ != nullptr) {
      static_cast<void>(ZK_MEM_Destroy(pool_));
    }
  }

  Status create() noexcept { return ZK_MEM_Create(&pool_); }
  ScratchPool *get() const noexcept { return pool_; }
  Status destroy() noexcept {
    ScratchPool *pool = pool_;
    pool_ = nullptr;
    return ZK_MEM_Destroy(pool);
  }

 private:
  ScratchPool *pool_ = nullptr;
};

}  // namespace tesk

#endif  // TESK_SRC_SCRATCH_POOL_H_
