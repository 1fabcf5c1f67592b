// Events, critical sections, threads and the test clock.
#include "platform_test.h"

#include <atomic>

namespace {

// Waits (without asserting any duration) until `done` holds.
template <typename Predicate> bool Eventually(Predicate done) {
    for (int i = 0; i < 20000 && !done(); i++)
        Sleep(1);
    return done();
}

struct ClockRestorer : testing::Test {
    void TearDown() override { PlatSetClockScale(1.0); }
};

TEST(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<int> started{0}, passed{0};
    auto waiter = [&] {
        started++;
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
            passed++;
    };
    HANDLE first = StartThread(waiter), second = StartThread(waiter);
    ASSERT_TRUE(Eventually([&] { return started == 2; }));
    Sleep(20); // give both a chance to block; the checks do not depend on it

    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(Eventually([&] { return passed >= 1; }));
    // The one release consumed the signal.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(passed, 1);

    ASSERT_TRUE(SetEvent(event));
    Join(first);
    Join(second);
    EXPECT_EQ(passed, 2);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, ManualResetStaysSetUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<int> passed{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
            passed++;
    };
    HANDLE first = StartThread(waiter), second = StartThread(waiter);
    ASSERT_TRUE(SetEvent(event));
    Join(first);
    Join(second);
    EXPECT_EQ(passed, 2);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));

    // An initially set auto-reset event lets one wait through.
    HANDLE once = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(once, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(once, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(once));
}

TEST_F(ClockRestorer, TimedWaitsTimeOut) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 30), WAIT_TIMEOUT);
    // A wait of minutes on the test clock.
    PlatSetClockScale(10000);
    EXPECT_EQ(WaitForSingleObject(event, 5 * 60 * 1000), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, HandOversBetweenThreadsNeverLoseAWakeUp) {
    // Two threads pass a turn back and forth through two auto-reset events,
    // as a writer and a status thread pass the port's I/O turn: a set that
    // raced with a waiter going to sleep and was lost would leave a wait
    // without end (seen here as a generous time-out).
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(ping, nullptr);
    ASSERT_NE(pong, nullptr);
    const int rounds = 20000;
    std::atomic<int> lost{0};
    HANDLE other = StartThread([&] {
        for (int i = 0; i < rounds && lost == 0; i++) {
            if (WaitForSingleObject(ping, 60000) != WAIT_OBJECT_0)
                lost++;
            SetEvent(pong);
        }
    });
    for (int i = 0; i < rounds && lost == 0; i++) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, 60000) != WAIT_OBJECT_0)
            lost++;
    }
    SetEvent(ping); // lets the other side out after a loss
    Join(other);
    EXPECT_EQ(lost, 0);
    EXPECT_TRUE(CloseHandle(ping));
    EXPECT_TRUE(CloseHandle(pong));
}

TEST(Events, BadHandlesFailWithInvalidHandle) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(Sentinel);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(Sentinel);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // A thread handle is not an event, an event is not a thread.
    HANDLE thread = StartThread([] {});
    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(Sentinel);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetThreadPriority(other, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    Join(thread);
    EXPECT_TRUE(CloseHandle(other));
}

TEST(CriticalSections, NestInOneThreadAndExcludeOthers) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    // Three levels deep in one thread.
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    BOOL otherGot = TRUE;
    Join(StartThread([&] {
        otherGot = TryEnterCriticalSection(&cs);
        if (otherGot)
            LeaveCriticalSection(&cs);
    }));
    EXPECT_FALSE(otherGot);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    // Still held once.
    Join(StartThread([&] { otherGot = TryEnterCriticalSection(&cs); }));
    EXPECT_FALSE(otherGot);
    LeaveCriticalSection(&cs);

    // Increments under the lock from two threads are never lost.
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            EnterCriticalSection(&cs);
            EnterCriticalSection(&cs);
            counter++;
            LeaveCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        }
    };
    HANDLE a = StartThread(work), b = StartThread(work);
    Join(a);
    Join(b);
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&cs);
}

TEST(Threads, HandleIdPriorityAndEnd) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> idInside{0};
    DWORD id = 0;
    struct Context {
        HANDLE Go;
        std::atomic<DWORD> *Id;
    } context{go, &idInside};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto *c = static_cast<Context *>(p);
            c->Id->store(GetCurrentThreadId());
            WaitForSingleObject(c->Go, INFINITE);
            return 7;
        },
        &context, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
    // Still running: a timed wait on it times out.
    EXPECT_EQ(WaitForSingleObject(thread, 10), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(idInside.load(), id);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(go));
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(Threads, HandleClosesWhileTheThreadRuns) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartThread([&] {
        WaitForSingleObject(go, INFINITE);
        SetEvent(done);
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    ASSERT_TRUE(SetEvent(go));
    EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
    CloseHandle(go);
    CloseHandle(done);
}

TEST(Threads, SmallStackRequestStillGivesAQuarterMegabyte) {
    volatile int sum = 0;
    // 192 KiB of locals in a thread that asked for 4 KiB.
    Join(StartThread(
        [&] {
            volatile char big[192 * 1024];
            for (size_t i = 0; i < sizeof big; i += 4096)
                big[i] = 1;
            for (size_t i = 0; i < sizeof big; i += 4096)
                sum = sum + big[i];
        },
        4096));
    EXPECT_EQ(sum, 48);
}

TEST_F(ClockRestorer, TickCounterWrapsAndScales) {
    // Across the 32-bit wrap the unsigned difference stays right.
    PlatSetTickCount(0xFFFFFF00u);
    DWORD before = GetTickCount();
    PlatAdvanceTicks(0x200);
    DWORD after = GetTickCount();
    EXPECT_LT(after, 0x10000u);
    EXPECT_GE(after - before, 0x200u);
    EXPECT_LT(after - before, 0x200u + 60000u);

    // A minute of test time passes quickly; the counter moves by at least that.
    PlatSetClockScale(5000);
    EXPECT_EQ(PlatClockScale(), 5000.0);
    DWORD start = GetTickCount();
    Sleep(60000);
    EXPECT_GE(GetTickCount() - start, 60000u);

    // Changing the scale keeps the counter continuous: it never runs back.
    DWORD beforeChange = GetTickCount();
    PlatSetClockScale(1);
    DWORD afterChange = GetTickCount();
    EXPECT_LT(afterChange - beforeChange, 0x80000000u);
}

} // namespace
