// Fixed-size pool of detached worker threads fed from one FIFO job queue.
//
// Lock order: the pool lock before the queue mutex.  A worker takes the queue
// mutex while holding the pool lock; ThreadPoolAddJob takes them one after
// the other, never nested.
#include "threadpool.h"

#include <pthread.h>

#include <new>

namespace {

constexpr int kMaxThreads = 32;

struct ThreadRecord {
    pthread_t id;
    int index;
};

struct JobNode {
    ThreadPoolFunc function;
    intptr_t argument;
    JobNode *next;
};

struct JobQueue {
    pthread_mutex_t mutex;
    JobNode *head;
    JobNode *tail;
    int count;
};

// Removes the head node, or null.  Caller holds the queue mutex.
JobNode *takeHead(JobQueue *queue) {
    JobNode *node = queue->head;
    if (node != nullptr) {
        queue->head = node->next;
        if (queue->head == nullptr) queue->tail = nullptr;
        --queue->count;
    }
    return node;
}

} // namespace

struct ThreadPool {
    ThreadRecord **threads;
    JobQueue *queue;
    int size;
    int busy;
    int live;
    int pending;
    pthread_mutex_t lock;
    pthread_cond_t idle;
    pthread_cond_t work;
    int shutdown;
    // Signalled when the last worker leaves, so destruction can wait for it
    // instead of spinning while a long job finishes.
    pthread_cond_t gone;
};

namespace {

// Sets shutdown and waits until every started worker has left.  After this
// no worker touches the pool any more.
void stopWorkers(ThreadPool *pool) {
    pthread_mutex_lock(&pool->lock);
    pool->shutdown = 1;
    while (pool->live > 0) {
        pthread_cond_broadcast(&pool->work);
        pthread_cond_wait(&pool->gone, &pool->lock);
    }
    pthread_mutex_unlock(&pool->lock);
}

// Releases everything; no worker may be running.  Each flag tells how far
// initialisation got.
void releasePool(ThreadPool *pool, bool queueMutex, bool lock, bool work, bool idle, bool gone) {
    if (pool->queue != nullptr) {
        JobNode *node;
        while ((node = takeHead(pool->queue)) != nullptr) delete node;
        if (queueMutex) pthread_mutex_destroy(&pool->queue->mutex);
        delete pool->queue;
    }
    if (pool->threads != nullptr) {
        for (int i = 0; i < pool->size; ++i) delete pool->threads[i];
        delete[] pool->threads;
    }
    if (gone) pthread_cond_destroy(&pool->gone);
    if (idle) pthread_cond_destroy(&pool->idle);
    if (work) pthread_cond_destroy(&pool->work);
    if (lock) pthread_mutex_destroy(&pool->lock);
    delete pool;
}

} // namespace

extern "C" ThreadPool *ThreadPoolCreate(int size) {
    if (size < 1 || size > kMaxThreads) return nullptr;

    ThreadPool *pool = new (std::nothrow) ThreadPool{};
    if (pool == nullptr) return nullptr;
    pool->size = size;

    pool->queue = new (std::nothrow) JobQueue{};
    if (pool->queue == nullptr) {
        releasePool(pool, false, false, false, false, false);
        return nullptr;
    }
    if (pthread_mutex_init(&pool->queue->mutex, nullptr) != 0) {
        releasePool(pool, false, false, false, false, false);
        return nullptr;
    }
    pool->threads = new (std::nothrow) ThreadRecord *[size]();
    if (pool->threads == nullptr) {
        releasePool(pool, true, false, false, false, false);
        return nullptr;
    }
    bool lock = pthread_mutex_init(&pool->lock, nullptr) == 0;
    bool work = lock && pthread_cond_init(&pool->work, nullptr) == 0;
    bool idle = work && pthread_cond_init(&pool->idle, nullptr) == 0;
    bool gone = idle && pthread_cond_init(&pool->gone, nullptr) == 0;
    if (!gone) {
        releasePool(pool, true, lock, work, idle, gone);
        return nullptr;
    }

    for (int i = 0; i < size; ++i) {
        ThreadRecord *record = new (std::nothrow) ThreadRecord{};
        if (record == nullptr) break;
        pool->threads[i] = record;
        // The worker only waits on the lock until live is raised below, so it
        // cannot leave before it is counted.
        if (pthread_create(&record->id, nullptr, ThreadPoolDoLoop, pool) != 0) break;
        record->index = i;
        pthread_mutex_lock(&pool->lock);
        ++pool->live;
        pthread_mutex_unlock(&pool->lock);
    }

    pthread_mutex_lock(&pool->lock);
    bool complete = pool->live == size;
    pthread_mutex_unlock(&pool->lock);
    if (!complete) {
        // Creation failed part-way: the workers already running must be gone
        // before their pool's memory is released.
        stopWorkers(pool);
        releasePool(pool, true, true, true, true, true);
        return nullptr;
    }
    return pool;
}

extern "C" int ThreadPoolAddJob(ThreadPool *pool, ThreadPoolJob job) {
    if (pool == nullptr || job.function == nullptr) return -1;
    JobNode *node = new (std::nothrow) JobNode{job.function, job.argument, nullptr};
    if (node == nullptr) return -1;

    JobQueue *queue = pool->queue;
    pthread_mutex_lock(&queue->mutex);
    if (queue->count == 0) {
        queue->head = node;
        queue->tail = node;
    } else {
        queue->tail->next = node;
        queue->tail = node;
    }
    ++queue->count;
    pthread_mutex_unlock(&queue->mutex);

    pthread_mutex_lock(&pool->lock);
    ++pool->pending;
    pthread_mutex_unlock(&pool->lock);
    pthread_cond_signal(&pool->work);
    return 0;
}

extern "C" void *ThreadPoolDoLoop(void *arg) {
    auto *pool = static_cast<ThreadPool *>(arg);
    pthread_detach(pthread_self());

    for (;;) {
        pthread_mutex_lock(&pool->lock);
        while (pool->pending == 0 && !pool->shutdown)
            pthread_cond_wait(&pool->work, &pool->lock);
        if (pool->shutdown) {
            // Leave even with jobs pending: destruction drops them.
            if (--pool->live == 0) pthread_cond_signal(&pool->gone);
            pthread_mutex_unlock(&pool->lock);
            return nullptr;
        }

        ++pool->busy;
        pthread_mutex_lock(&pool->queue->mutex);
        JobNode *node = takeHead(pool->queue);
        pthread_mutex_unlock(&pool->queue->mutex);
        if (node != nullptr) --pool->pending;
        pthread_mutex_unlock(&pool->lock);

        if (node != nullptr) {
            node->function(node->argument);
            delete node;
        }

        pthread_mutex_lock(&pool->lock);
        // Broadcast, not signal: every waiter must see the pool go idle.
        if (--pool->busy == 0) pthread_cond_broadcast(&pool->idle);
        pthread_mutex_unlock(&pool->lock);
    }
}

extern "C" void ThreadPoolWait(ThreadPool *pool) {
    if (pool == nullptr) return;
    pthread_mutex_lock(&pool->lock);
    while (pool->pending != 0 || pool->busy != 0) pthread_cond_wait(&pool->idle, &pool->lock);
    pthread_mutex_unlock(&pool->lock);
}

extern "C" void ThreadPoolDestroy(ThreadPool *pool) {
    if (pool == nullptr) return;
    stopWorkers(pool);
    releasePool(pool, true, true, true, true, true);
}
