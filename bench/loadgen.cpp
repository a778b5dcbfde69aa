// The load engine.
#include "loadgen.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kivbench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kErrorSamples = 5;

struct WorkerTally {
    std::vector<uint64_t> latencies;
    std::map<int, uint64_t> codes;
    uint64_t transportErrors = 0;
    std::vector<std::string> errors;
};

} // namespace

LoadResult runLoad(const LoadSpec &spec, const OperationFactory &factory) {
    LoadResult result;
    result.concurrency = spec.concurrency;
    if (spec.concurrency < 1 || !(spec.seconds > 0)) return result;

    std::atomic<uint64_t> next{0};
    std::vector<WorkerTally> tallies(static_cast<size_t>(spec.concurrency));

    // Workers build their operation, then wait for the common start, so
    // set-up costs stay out of the measurement.
    std::mutex m;
    std::condition_variable cv;
    int ready = 0;
    bool go = false;
    Clock::time_point deadline;

    auto worker = [&](int index) {
        Operation op = factory(index);
        WorkerTally &t = tallies[static_cast<size_t>(index)];
        if (spec.requests > 0) t.latencies.reserve(spec.requests / static_cast<uint64_t>(spec.concurrency) + 1);
        {
            std::unique_lock<std::mutex> lock(m);
            ++ready;
            cv.notify_all();
            cv.wait(lock, [&] { return go; });
        }
        for (;;) {
            auto start = Clock::now();
            if (start >= deadline) break;
            uint64_t seq = next.fetch_add(1, std::memory_order_relaxed);
            if (spec.requests > 0 && seq >= spec.requests) break;
            Outcome o = op(seq);
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
            t.latencies.push_back(static_cast<uint64_t>(ns));
            if (o.transportError) {
                ++t.transportErrors;
                if (t.errors.size() < kErrorSamples) t.errors.push_back(std::move(o.error));
            } else {
                ++t.codes[o.code];
            }
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(spec.concurrency));
    for (int i = 0; i < spec.concurrency; ++i) threads.emplace_back(worker, i);
    Clock::time_point start;
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return ready == spec.concurrency; });
        start = Clock::now();
        deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(spec.seconds));
        go = true;
    }
    cv.notify_all();
    for (auto &th : threads) th.join();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<uint64_t> all;
    for (auto &t : tallies) {
        all.insert(all.end(), t.latencies.begin(), t.latencies.end());
        for (auto &[code, n] : t.codes) {
            result.codes[code] += n;
            result.requests += n;
        }
        result.transportErrors += t.transportErrors;
        for (auto &e : t.errors)
            if (result.errorSamples.size() < kErrorSamples) result.errorSamples.push_back(e);
    }
    result.latency = summarize(std::move(all));
    result.perSecond = result.seconds > 0 ? static_cast<double>(result.requests) / result.seconds : 0;
    return result;
}

Json toJson(const LoadResult &r, const std::function<std::string(int)> &codeName) {
    Json j = Json::object();
    j["concurrency"] = r.concurrency;
    j["requests"] = r.requests;
    j["seconds"] = r.seconds;
    j["auth_per_s"] = r.perSecond;
    Json &lat = j["latency_ms"];
    lat["p50"] = r.latency.p50Ms;
    lat["p95"] = r.latency.p95Ms;
    lat["p99"] = r.latency.p99Ms;
    lat["max"] = r.latency.maxMs;
    lat["mean"] = r.latency.meanMs;
    Json &codes = j["codes"];
    codes = Json::object();
    for (auto &[code, n] : r.codes) codes[codeName(code)] = n;
    j["connection_errors"] = r.transportErrors;
    Json &samples = j["error_samples"];
    samples = Json::array();
    for (auto &e : r.errorSamples) samples.push(e);
    return j;
}

bool fromJson(const Json &j, LoadResult *r, const std::function<int(const std::string &)> &codeOf) {
    auto num = [&](const char *path, double *out) {
        const Json *v = jsonPath(j, path);
        if (v == nullptr || !v->isNumber()) return false;
        *out = v->number();
        return true;
    };
    double concurrency, requests, seconds, rate, p50, p95, p99, max, mean, errors;
    if (!num("concurrency", &concurrency) || !num("requests", &requests) || !num("seconds", &seconds) ||
        !num("auth_per_s", &rate) || !num("latency_ms.p50", &p50) || !num("latency_ms.p95", &p95) ||
        !num("latency_ms.p99", &p99) || !num("latency_ms.max", &max) || !num("latency_ms.mean", &mean) ||
        !num("connection_errors", &errors))
        return false;
    const Json *codes = j.find("codes");
    if (codes == nullptr || !codes->isObject()) return false;
    *r = LoadResult{};
    r->concurrency = static_cast<int>(concurrency);
    r->requests = static_cast<uint64_t>(requests);
    r->seconds = seconds;
    r->perSecond = rate;
    r->latency = {p50, p95, p99, max, mean};
    r->transportErrors = static_cast<uint64_t>(errors);
    for (size_t i = 0; i < codes->size(); ++i) {
        if (!codes->at(i).isNumber()) return false;
        r->codes[codeOf(codes->keys()[i])] += static_cast<uint64_t>(codes->at(i).number());
    }
    if (const Json *s = j.find("error_samples"); s && s->isArray())
        for (size_t i = 0; i < s->size(); ++i)
            if (s->at(i).isString()) r->errorSamples.push_back(s->at(i).string());
    return true;
}

} // namespace kivbench
