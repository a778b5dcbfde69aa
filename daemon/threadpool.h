// Fixed-size pool of detached worker threads fed from one FIFO job queue.
#pragma once
#include <cstdint>

extern "C" {
typedef void (*ThreadPoolFunc)(intptr_t argument);

struct ThreadPoolJob {
    ThreadPoolFunc function;
    intptr_t argument;
};

struct ThreadPool;

ThreadPool *ThreadPoolCreate(int size);           // null on failure or size outside 1..32
int ThreadPoolAddJob(ThreadPool *pool, ThreadPoolJob job); // 0 queued, -1 no memory
void ThreadPoolWait(ThreadPool *pool);            // until nothing pending and nothing running
void ThreadPoolDestroy(ThreadPool *pool);         // stops workers, drops unrun jobs
void *ThreadPoolDoLoop(void *pool);               // worker body
}
