// Memory blocks: handles and pointers, lock counts, the live-block registry
// and allocation fault injection.
#include "platform_test.h"

namespace {

TEST(Memory, MovableBlockIsFoundFromItsLockedPointer) {
    long live = PlatLiveBlocks();
    HGLOBAL handle = GlobalAlloc(GHND, 100);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(PlatLiveBlocks(), live + 1);
    auto *data = static_cast<BYTE *>(GlobalLock(handle));
    ASSERT_NE(data, nullptr);
    EXPECT_NE(static_cast<void *>(data), handle);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(data[i], 0);
    EXPECT_EQ(GlobalSize(handle), 100u);
    EXPECT_EQ(GlobalHandle(data), handle);

    // The pointer is not a handle: freeing it is refused and frees nothing.
    SetLastError(Sentinel);
    EXPECT_EQ(GlobalFree(data), static_cast<HGLOBAL>(data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(PlatLiveBlocks(), live + 1);

    // Unlock, then free by the handle found from the pointer.
    SetLastError(Sentinel);
    EXPECT_FALSE(GlobalUnlock(GlobalHandle(data)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
    SetLastError(Sentinel);
    EXPECT_EQ(GlobalFree(handle), nullptr);
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_EQ(PlatLiveBlocks(), live);

    // Gone: neither pointer nor handle names a block any more.
    SetLastError(Sentinel);
    EXPECT_EQ(GlobalHandle(data), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(Sentinel);
    EXPECT_EQ(GlobalFree(handle), handle);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Memory, LockCountsNest) {
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, 8);
    ASSERT_NE(handle, nullptr);
    void *first = GlobalLock(handle);
    EXPECT_EQ(GlobalLock(handle), first);
    EXPECT_TRUE(GlobalUnlock(handle));
    SetLastError(Sentinel);
    EXPECT_FALSE(GlobalUnlock(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
    SetLastError(Sentinel);
    EXPECT_FALSE(GlobalUnlock(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
    // A locked block is freed all the same.
    GlobalLock(handle);
    EXPECT_EQ(GlobalFree(handle), nullptr);
}

TEST(Memory, FixedBlocksAreTheirOwnHandles) {
    long live = PlatLiveBlocks();
    HGLOBAL fixed = GlobalAlloc(GPTR, 16);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(GlobalHandle(fixed), fixed);
    EXPECT_EQ(GlobalLock(fixed), fixed);
    EXPECT_TRUE(GlobalUnlock(fixed));
    EXPECT_EQ(static_cast<BYTE *>(fixed)[15], 0);

    // Local blocks are global blocks; heap blocks are their own kind.
    HLOCAL local = LocalAlloc(LPTR, 4);
    LPVOID heap = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4);
    ASSERT_NE(local, nullptr);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(PlatLiveBlocks(), live + 3);
    SetLastError(Sentinel);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, fixed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(LocalFree(fixed), nullptr);
    EXPECT_EQ(GlobalFree(local), nullptr);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, heap));
    EXPECT_EQ(PlatLiveBlocks(), live);

    // Freeing nothing succeeds; freeing a stranger's pointer does not.
    int stranger = 0;
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
    SetLastError(Sentinel);
    EXPECT_EQ(LocalFree(&stranger), static_cast<HLOCAL>(&stranger));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(Sentinel);
    EXPECT_EQ(GlobalSize(&stranger), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Memory, TheNthAllocationFailsExactlyOnce) {
    // Whichever kind of allocation is the n-th, it is the one that fails.
    for (unsigned long n = 1; n <= 4; n++) {
        long live = PlatLiveBlocks();
        unsigned long count = PlatAllocationCount();
        PlatFailAllocation(n);
        void *blocks[5];
        DWORD errors[5];
        for (int i = 0; i < 5; i++) {
            SetLastError(Sentinel);
            switch (i % 3) {
            case 0:
                blocks[i] = GlobalAlloc(GHND, 32);
                break;
            case 1:
                blocks[i] = LocalAlloc(LPTR, 32);
                break;
            default:
                blocks[i] = HeapAlloc(GetProcessHeap(), 0, 32);
                break;
            }
            errors[i] = GetLastError();
        }
        for (int i = 0; i < 5; i++) {
            bool chosen = static_cast<unsigned long>(i + 1) == n;
            EXPECT_EQ(blocks[i] == nullptr, chosen) << "n=" << n << " i=" << i;
            EXPECT_EQ(errors[i], chosen ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : Sentinel);
        }
        EXPECT_EQ(PlatAllocationCount(), count + 5);
        EXPECT_EQ(PlatLiveBlocks(), live + 4);
        for (int i = 0; i < 5; i++) {
            if (i % 3 == 2)
                HeapFree(GetProcessHeap(), 0, blocks[i]);
            else
                GlobalFree(blocks[i]);
        }
        EXPECT_EQ(PlatLiveBlocks(), live);
    }

    // 0 switches a pending failure off.
    PlatFailAllocation(1);
    PlatFailAllocation(0);
    HGLOBAL block = GlobalAlloc(GPTR, 1);
    EXPECT_NE(block, nullptr);
    GlobalFree(block);
}

TEST(Memory, BlocksFromManyThreadsAreAccountedFor) {
    long live = PlatLiveBlocks();
    auto work = [] {
        for (int i = 0; i < 2000; i++) {
            HGLOBAL handle = GlobalAlloc(GHND, 24);
            void *data = GlobalLock(handle);
            if (GlobalHandle(data) != handle)
                ADD_FAILURE() << "handle not found from its pointer";
            GlobalUnlock(handle);
            GlobalFree(handle);
        }
    };
    HANDLE a = StartThread(work), b = StartThread(work);
    Join(a);
    Join(b);
    EXPECT_EQ(PlatLiveBlocks(), live);
}

} // namespace
