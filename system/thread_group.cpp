#include "system/thread_group.h"

#include <stdexcept>
#include <string>
#include <system_error>

namespace qev {

void ThreadGroup::start(std::function<void()> body) {
    threads_.reserve(threads_.size() + 1);
    try {
        threads_.emplace_back(std::move(body));
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("Cannot start a worker thread: ") + e.what());
    }
}

void ThreadGroup::joinAll() {
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
}

}  // namespace qev
