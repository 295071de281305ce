#pragma once

// Objects shared by the streams that were initialised with one local SSRC
// (their RTCP, SRTP and SRTCP objects). Each context holds its own table
// (socketfactory::shared_objects), so streams of two contexts never share an
// object, keys included, whatever SSRCs they pick. Any thread; one lock.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace tessal {

template <typename T>
class shared_by_ssrc {
public:
    // The object registered under `ssrc`; when there is none, `make()`
    // creates and registers one and `*created` is set.
    template <typename Make>
    std::shared_ptr<T> acquire(uint32_t ssrc, Make make, bool *created = nullptr) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::shared_ptr<T> &entry = map_[ssrc];
        const bool fresh = !entry;
        if (fresh) {
            entry = make();
        }
        if (created != nullptr) {
            *created = fresh;
        }
        return entry;
    }

    // Drops the caller's reference `held` to the object of `ssrc`, and the
    // entry when nobody else holds it. True when the entry went.
    bool release(uint32_t ssrc, std::shared_ptr<T> &held) {
        if (!held) {
            return false;
        }
        held.reset();
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = map_.find(ssrc);
        if (it != map_.end() && (!it->second || it->second.use_count() == 1)) {
            map_.erase(it);
            return true;
        }
        return false;
    }

    size_t size() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return map_.size();
    }

private:
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<T>> map_;
};

}  // namespace tessal
