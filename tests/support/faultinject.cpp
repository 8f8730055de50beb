#include "tests/support/faultinject.h"

#include <atomic>

namespace faultinject {
namespace {

std::atomic<Injector*> active{nullptr};

int hook(const fileops::Event& event) {
    Injector* injector = active.load();
    return injector != nullptr ? injector->handle(event) : 0;
}

}  // namespace

const char* opName(fileops::Op op) {
    static const char* const names[] = {"open",  "read", "write", "seek",
                                        "flush", "sync", "close", "opened"};
    return names[static_cast<int>(op)];
}

Injector::Injector() {
    active.store(this);
    fileops::setHook(hook);
}

Injector::~Injector() {
    fileops::setHook(nullptr);
    active.store(nullptr);
}

void Injector::failNth(fileops::Op op, int n, std::function<bool(const Call&)> which, int error) {
    std::lock_guard<std::mutex> lock(mutex);
    failOp = op;
    failAt = n;
    failCount = 0;
    failWhich = std::move(which);
    failError = error;
}

void Injector::onCall(std::function<int(const Call&)> fn) {
    std::lock_guard<std::mutex> lock(mutex);
    callback = std::move(fn);
}

std::vector<Call> Injector::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

int Injector::openStreams() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(streams.size());
}

bool Injector::fired() const {
    std::lock_guard<std::mutex> lock(mutex);
    return hasFired;
}

Call Injector::failedCall() const {
    std::lock_guard<std::mutex> lock(mutex);
    return failed;
}

int Injector::handle(const fileops::Event& event) {
    Call call;
    call.op = event.op;
    call.bytes = event.bytes;
    call.file = event.file;
    std::function<int(const Call&)> fn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (event.op == fileops::Op::Opened) {
            streams[event.file] = Call{fileops::Op::Open, event.path, event.user, 0};
            return 0;
        }
        if (event.op == fileops::Op::Open) {
            call.path = event.path != nullptr ? event.path : "";
            call.user = event.user != nullptr ? event.user : "";
        } else {
            const auto it = streams.find(event.file);
            if (it != streams.end()) {
                call.path = it->second.path;
                call.user = it->second.user;
            }
        }
        if (event.op == fileops::Op::Close) {
            streams.erase(event.file);
        }
        fn = callback;
    }
    if (fn) {
        const int error = fn(call);
        if (error != 0) {
            return error;
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(call);
    if (!hasFired && failAt > 0 && event.op == failOp && (!failWhich || failWhich(call)) &&
        ++failCount == failAt) {
        hasFired = true;
        failed = call;
        return failError;
    }
    return 0;
}

}  // namespace faultinject
