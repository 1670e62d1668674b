// The scratch pool: cells from the pool's own allocation first, then
// chunks of cells, large blocks for bigger requests, and the mark checks.
#include "scratch_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

namespace tesk {
namespace {

const PoolCell *cellOf(const unsigned char *bytes) {
  return reinterpret_cast<const PoolCell *>(bytes - offsetof(PoolCell, bytes));
}

TEST(ScratchPool, CreateSetsMarkAndLinksCellsInAddressOrder) {
  PoolGuard guard;
  ASSERT_EQ(guard.create(), StepCode::ok);
  ScratchPool *pool = guard.get();
  EXPECT_EQ(pool->mark, kPoolMark);
  EXPECT_EQ(pool->blockCount, 0u);
  EXPECT_EQ(pool->chunkCount, 0u);
  const PoolCell *cell = pool->freeCells;
  for (uint32_t i = 0; i < kCellsPerGroup; ++i) {
    ASSERT_EQ(cell, &pool->cells[i]);
    cell = cell->head.nextFree;
  }
  EXPECT_EQ(cell, nullptr);
  EXPECT_EQ(guard.destroy(), StepCode::ok);
}

// A short encoding must cost no allocation beyond the pool itself.
TEST(ScratchPool, SmallRequestsUseThePoolsOwnCells) {
  PoolGuard guard;
  ASSERT_EQ(guard.create(), StepCode::ok);
  ScratchPool *pool = guard.get();
  for (uint32_t i = 0; i < kCellsPerGroup; ++i) {
    unsigned char *p = nullptr;
    ASSERT_EQ(ZK_MEM_Malloc(pool, i == 0 ? kCellBytes : i, &p), StepCode::ok);
    EXPECT_EQ(p, pool->cells[i].bytes);
    const PoolCell *cell = cellOf(p);
    EXPECT_EQ(cell->head.tag.inUse, -1);
    EXPECT_EQ(cell->head.tag.mark, kCellMark);
    for (uint32_t b = 0; b < kCellBytes; ++b) EXPECT_EQ(p[b], 0);
  }
  EXPECT_EQ(pool->chunkCount, 0u);
  EXPECT_EQ(pool->blockCount, 0u);
  EXPECT_EQ(pool->freeCells, nullptr);
}

TEST(ScratchPool, NinthCellComesFromANewChunksLastCell) {
  PoolGuard guard;
  ASSERT_EQ(guard.create(), StepCode::ok);
  ScratchPool *pool = guard.get();
  unsigned char *p = nullptr;
  for (uint32_t i = 0; i < kCellsPerGroup; ++i) ASSERT_EQ(ZK_MEM_Malloc(pool, 8, &p), StepCode::ok);
  ASSERT_EQ(ZK_MEM_Malloc(pool, 8, &p), StepCode::ok);
  ASSERT_EQ(pool->chunkCount, 1u);
  PoolChunk *chunk = pool->firstChunk;
  EXPECT_EQ(p, chunk->cells[kCellsPerGroup - 1].bytes);
  for (uint32_t i = 0; i + 1 < kCellsPerGroup; ++i) {
    ASSERT_EQ(ZK_MEM_Malloc(pool, 8, &p), StepCode::ok);
    EXPECT_EQ(p, chunk->cells[i].bytes);
  }
  ASSERT_EQ(ZK_MEM_Malloc(pool, 8, &p), StepCode::ok);
  EXPECT_EQ(pool->chunkCount, 2u);
  EXPECT_EQ(pool->firstChunk->next, chunk) << "new chunks go to the front";
}

TEST(ScratchPool, LargeRequestsGetZeroedBlocksInOrder) {
  PoolGuard guard;
  ASSERT_EQ(guard.create(), StepCode::ok);
  ScratchPool *pool = guard.get();
  std::set<unsigned char *> seen;
  for (uint32_t size : {kCellBytes + 1, 200u, 4096u}) {
    unsigned char *p = nullptr;
    ASSERT_EQ(ZK_MEM_Malloc(pool, size, &p), StepCode::ok);
    for (uint32_t b = 0; b < size; ++b) ASSERT_EQ(p[b], 0);
    p[size - 1] = 0x5A;  // the whole size is writable (ASan checks)
    EXPECT_TRUE(seen.insert(p).second);
    const auto *block = reinterpret_cast<const PoolBlock *>(p - sizeof(PoolBlock));
    EXPECT_EQ(block->mark, kBlockMark);
    EXPECT_EQ(pool->lastBlock, block);
  }
  EXPECT_EQ(pool->blockCount, 3u);
  EXPECT_EQ(pool->firstBlock->next->next, pool->lastBlock);
  EXPECT_EQ(pool->lastBlock->previous->previous, pool->firstBlock);
  EXPECT_EQ(pool->chunkCount, 0u);
}

TEST(ScratchPool, WrongMarkIsRejected) {
  PoolGuard guard;
  ASSERT_EQ(guard.create(), StepCode::ok);
  ScratchPool *pool = guard.get();
  pool->mark = kBlockMark;
  unsigned char *p = nullptr;
  EXPECT_EQ(ZK_MEM_Malloc(pool, 4, &p), StepCode::invalidArgument);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(ZK_MEM_Destroy(pool), StepCode::invalidArgument);
  pool->mark = kPoolMark;  // let the guard release it
  EXPECT_EQ(ZK_MEM_Destroy(nullptr), StepCode::invalidArgument);
  EXPECT_EQ(ZK_MEM_Malloc(nullptr, 4, &p), StepCode::invalidArgument);
  EXPECT_EQ(ZK_MEM_Create(nullptr), StepCode::invalidArgument);
}

// The sanitizer build's leak check proves that blocks and chunks go.
TEST(ScratchPool, DestroyReleasesBlocksAndChunks) {
  ScratchPool *pool = nullptr;
  ASSERT_EQ(ZK_MEM_Create(&pool), StepCode::ok);
  unsigned char *p = nullptr;
  for (int i = 0; i < 20; ++i) ASSERT_EQ(ZK_MEM_Malloc(pool, 16, &p), StepCode::ok);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ZK_MEM_Malloc(pool, 100, &p), StepCode::ok);
  EXPECT_EQ(pool->chunkCount, 2u);
  EXPECT_EQ(ZK_MEM_Destroy(pool), StepCode::ok);
}

}  // namespace
}  // namespace tesk
