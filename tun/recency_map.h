#pragma once
// A map whose entries remember when they were last seen, so that a long session's learnt names
// and addresses stay bounded: entries not seen for a lifetime go, and beyond a capacity the least
// recently seen go first. Not synchronised: the owner's lock guards it.

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace pelto::tun {

template <typename Key, typename Value>
class recency_map {
public:
    // Inserts `key` or replaces its value; either way it counts as seen at `now`.
    void touch(const Key& key, Value value, std::int64_t now)
    {
        auto it = entries_.find(key);
        if (it != entries_.end()) {
            by_age_.erase({it->second.seen, key});
            it->second = {std::move(value), now};
        } else {
            entries_.emplace(key, entry{std::move(value), now});
        }
        by_age_.insert({now, key});
    }

    // The value of `key`, or null.
    const Value* find(const Key& key) const
    {
        const auto it = entries_.find(key);
        return it == entries_.end() ? nullptr : &it->second.value;
    }

    bool erase(const Key& key)
    {
        const auto it = entries_.find(key);
        if (it == entries_.end()) {
            return false;
        }
        by_age_.erase({it->second.seen, key});
        entries_.erase(it);
        return true;
    }

    // Removes every entry last seen `lifetime` or more before `now`, then the least recently seen
    // while more than `capacity` remain. Returns the removed keys, oldest first.
    std::vector<Key> expire(std::int64_t now, std::int64_t lifetime, std::size_t capacity)
    {
        std::vector<Key> out;
        while (!by_age_.empty() &&
               (now - by_age_.begin()->first >= lifetime || entries_.size() > capacity)) {
            const Key key = by_age_.begin()->second;
            by_age_.erase(by_age_.begin());
            entries_.erase(key);
            out.push_back(key);
        }
        return out;
    }

    std::size_t size() const { return entries_.size(); }

    std::vector<Key> keys() const
    {
        std::vector<Key> out;
        out.reserve(entries_.size());
        for (const auto& [key, e] : entries_) {
            out.push_back(key);
        }
        return out;
    }

private:
    struct entry {
        Value value;
        std::int64_t seen = 0;
    };
    std::map<Key, entry> entries_;
    std::set<std::pair<std::int64_t, Key>> by_age_;
};

}  // namespace pelto::tun
