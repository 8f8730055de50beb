// Arms the stream-call hook of common/fileops: records every call, fails a
// chosen one, and runs test code before each.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/fileops.h"

namespace faultinject {

// One stream call, named by the stream's open.
struct Call {
    fileops::Op op = fileops::Op::Open;
    std::string path;
    std::string user;  // module that opened the stream ("" if unknown)
    size_t bytes = 0;
    FILE* file = nullptr;  // the stream; nullptr for Open
};

const char* opName(fileops::Op op);

// Installs the hook for its lifetime; one at a time. Its calls may come from
// several threads at once.
class Injector {
public:
    Injector();
    ~Injector();
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    // The nth call (from 1) of kind op among those that which accepts (all
    // when empty) fails with error.
    void failNth(fileops::Op op, int n, std::function<bool(const Call&)> which = nullptr,
                 int error = 5 /* EIO */);
    // Runs before each call, without the injector's lock (it may wait for
    // other threads); returns 0 or an errno value to fail the call with.
    void onCall(std::function<int(const Call&)> fn);

    // Every call so far, in the order they came.
    std::vector<Call> calls() const;
    // Streams opened through fileops and not closed yet.
    int openStreams() const;
    bool fired() const;
    Call failedCall() const;

    int handle(const fileops::Event& event);

private:
    mutable std::mutex mutex;
    std::map<FILE*, Call> streams;
    fileops::Op failOp = fileops::Op::Open;
    int failAt = 0;
    int failCount = 0;
    std::function<bool(const Call&)> failWhich;
    std::vector<Call> seen;
    int failError = 0;
    bool hasFired = false;
    Call failed;
    std::function<int(const Call&)> callback;
};

}  // namespace faultinject
