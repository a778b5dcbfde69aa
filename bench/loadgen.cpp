// The load engine.
#include "loadgen.h"

#include <algorithm>
#include <atomic>
#include <cmath>
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

uint64_t percentile(const std::vector<uint64_t> &sorted, double p) {
    if (sorted.empty()) return 0;
    // Rank ceil(p/100 * n), 1-based, clamped to the sample range.
    double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    if (index >= sorted.size()) index = sorted.size() - 1;
    return sorted[index];
}

LatencySummary summarize(std::vector<uint64_t> samplesNs) {
    LatencySummary s;
    if (samplesNs.empty()) return s;
    std::sort(samplesNs.begin(), samplesNs.end());
    auto ms = [](uint64_t ns) { return static_cast<double>(ns) / 1e6; };
    s.p50Ms = ms(percentile(samplesNs, 50));
    s.p95Ms = ms(percentile(samplesNs, 95));
    s.p99Ms = ms(percentile(samplesNs, 99));
    s.maxMs = ms(samplesNs.back());
    long double sum = 0;
    for (uint64_t v : samplesNs) sum += v;
    s.meanMs = static_cast<double>(sum / samplesNs.size()) / 1e6;
    return s;
}

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
    Json codes = Json::object();
    for (auto &[code, n] : r.codes) codes[codeName(code)] = n;
    return {{"concurrency", r.concurrency},
            {"requests", r.requests},
            {"seconds", r.seconds},
            {"auth_per_s", r.perSecond},
            {"latency_ms",
             {{"p50", r.latency.p50Ms}, {"p95", r.latency.p95Ms}, {"p99", r.latency.p99Ms},
              {"max", r.latency.maxMs}, {"mean", r.latency.meanMs}}},
            {"codes", codes},
            {"connection_errors", r.transportErrors},
            {"error_samples", r.errorSamples}};
}

bool fromJson(const Json &j, LoadResult *r, const std::function<int(const std::string &)> &codeOf) {
    try {
        const Json &lat = j.at("latency_ms");
        LoadResult out;
        out.concurrency = j.at("concurrency").get<int>();
        out.requests = j.at("requests").get<uint64_t>();
        out.seconds = j.at("seconds").get<double>();
        out.perSecond = j.at("auth_per_s").get<double>();
        out.latency = {lat.at("p50").get<double>(), lat.at("p95").get<double>(), lat.at("p99").get<double>(),
                       lat.at("max").get<double>(), lat.at("mean").get<double>()};
        out.transportErrors = j.at("connection_errors").get<uint64_t>();
        if (!j.at("codes").is_object()) return false;
        for (auto &[name, n] : j.at("codes").items()) out.codes[codeOf(name)] += n.get<uint64_t>();
        if (j.contains("error_samples")) out.errorSamples = j["error_samples"].get<std::vector<std::string>>();
        *r = std::move(out);
        return true;
    } catch (const Json::exception &) {
        return false;
    }
}

} // namespace kivbench
