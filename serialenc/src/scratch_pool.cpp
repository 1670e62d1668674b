#include "scratch_pool.h"

#include <cstdlib>
#include <cstring>

namespace tesk {
namespace {

// Links `count` cells into a free list in address order, ending at `tail`.
PoolCell *linkCells(PoolCell *cells, uint32_t count, PoolCell *tail) noexcept {
  for (uint32_t i = 0; i < count; ++i) {
    cells[i].head.nextFree = (i + 1 < count) ? &cells[i + 1] : tail;
  }
  return count > 0 ? &cells[0] : tail;
}

unsigned char *handOut(PoolCell *cell) noexcept {
  cell->head.tag.inUse = -1;
  cell->head.tag.mark = kCellMark;
  std::memset(cell->bytes, 0, sizeof cell->bytes);
  return cell->bytes;
}

bool alive(const ScratchPool *pool) noexcept { return pool != nullptr && pool->mark == kPoolMark; }

}  // namespace

Status ZK_MEM_Create(ScratchPool **pool) noexcept {
  if (pool == nullptr) {
    return StepCode::invalidArgument;
  }
  auto *fresh = static_cast<ScratchPool *>(std::malloc(sizeof(ScratchPool)));
  if (fresh == nullptr) {
    return StepCode::noMemory;
  }
  fresh->mark = kPoolMark;
  fresh->firstBlock = nullptr;
  fresh->lastBlock = nullptr;
  fresh->blockCount = 0;
  fresh->firstChunk = nullptr;
  fresh->chunkCount = 0;
  fresh->freeCells = linkCells(fresh->cells, kCellsPerGroup, nullptr);
  *pool = fresh;
  return StepCode::ok;
}

Status ZK_MEM_Malloc(ScratchPool *pool, uint32_t size, unsigned char **address) noexcept {
  if (!alive(pool) || address == nullptr) {
    return StepCode::invalidArgument;
  }
  if (size <= kCellBytes) {
    if (pool->freeCells == nullptr) {
      auto *chunk = static_cast<PoolChunk *>(std::malloc(sizeof(PoolChunk)));
      if (chunk == nullptr) {
        return StepCode::noMemory;
      }
      chunk->next = pool->firstChunk;
      pool->firstChunk = chunk;
      ++pool->chunkCount;
      pool->freeCells = linkCells(chunk->cells, kCellsPerGroup - 1, nullptr);
      *address = handOut(&chunk->cells[kCellsPerGroup - 1]);
      return StepCode::ok;
    }
    PoolCell *cell = pool->freeCells;
    pool->freeCells = cell->head.nextFree;
    *address = handOut(cell);
    return StepCode::ok;
  }
  // size is 32-bit, so header + size cannot wrap a 64-bit size_t.
  const std::size_t bytes = sizeof(PoolBlock) + static_cast<std::size_t>(size);
  auto *block = static_cast<PoolBlock *>(std::malloc(bytes));
  if (block == nullptr) {
    return StepCode::noMemory;
  }
  block->next = nullptr;
  block->previous = pool->lastBlock;
  block->mark = kBlockMark;
  if (pool->lastBlock != nullptr) {
    pool->lastBlock->next = block;
  } else {
    pool->firstBlock = block;
  }
  pool->lastBlock = block;
  ++pool->blockCount;
  unsigned char *data = reinterpret_cast<unsigned char *>(block) + sizeof(PoolBlock);
  std::memset(data, 0, size);
  *address = data;
  return StepCode::ok;
}

Status ZK_MEM_Destroy(ScratchPool *pool) noexcept {
  if (!alive(pool)) {
    return StepCode::invalidArgument;
  }
  pool->mark = 0;
  PoolBlock *block = pool->firstBlock;
  for (uint32_t i = 0; i < pool->blockCount && block != nullptr; ++i) {
    PoolBlock *next = block->next;
    block->mark = 0;
    std::free(block);
    block = next;
  }
  PoolChunk *chunk = pool->firstChunk;
  for (uint32_t i = 0; i < pool->chunkCount && chunk != nullptr; ++i) {
    PoolChunk *next = chunk->next;
    std::free(chunk);
    chunk = next;
  }
  std::free(pool);
  return StepCode::ok;
}

}  // namespace tesk
