#include "platform/tick_page.h"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace kvx::platform {

namespace {

constexpr std::size_t rounded(std::size_t size) { return (size + 63) / 64 * 64; }

// A page aligned to 2 MB, handed out front to back; what is given back
// returns to it from the top down.
class TickPage {
public:
    void* take(std::size_t size, bool mapFirst) {
        std::lock_guard lock(mutex_);
        if (!page_ && !(mapFirst && map())) return nullptr;
        size = rounded(size);
        if (size > kHugePage - top_) return nullptr;
        void* p = page_ + top_;
        top_ += size;
        taken_.push_back({top_ - size, false});
        return p;
    }

    bool owns(const void* p) {
        std::lock_guard lock(mutex_);
        const auto* b = static_cast<const std::uint8_t*>(p);
        return page_ && b >= page_ && b < page_ + kHugePage;
    }

    void give(void* p) {
        std::lock_guard lock(mutex_);
        const auto at = static_cast<std::size_t>(static_cast<std::uint8_t*>(p) - page_);
        for (Block& b : taken_)
            if (b.at == at) b.given = true;
        while (!taken_.empty() && taken_.back().given) {
            top_ = taken_.back().at;
            taken_.pop_back();
        }
    }

private:
    struct Block {
        std::size_t at;
        bool given;
    };

    bool map() {
        page_ = static_cast<std::uint8_t*>(mapHugePage());
        return page_ != nullptr;
    }

    std::mutex mutex_;
    std::uint8_t* page_ = nullptr;  // kept for the whole run
    std::size_t top_ = 0;
    std::vector<Block> taken_;
};

TickPage& tickPage() {
    static auto* page = new TickPage;  // outlives every object on it
    return *page;
}

}  // namespace

void* mapHugePage() {
    void* p = ::mmap(nullptr, 2 * kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    auto* const mapped = static_cast<std::uint8_t*>(p);
    auto* const page =
        reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1));
    if (page > mapped) ::munmap(mapped, static_cast<std::size_t>(page - mapped));
    ::munmap(page + kHugePage, static_cast<std::size_t>(mapped + 2 * kHugePage - (page + kHugePage)));
    ::madvise(page, kHugePage, MADV_HUGEPAGE);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_register_root_region(page, kHugePage);  // what the objects on it point to is not leaked
#endif
    return page;
}

void unmapHugePage(void* page) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_unregister_root_region(page, kHugePage);
#endif
    ::munmap(page, kHugePage);
}

void* takeFromTickPage(std::size_t size) { return tickPage().take(size, true); }

void* takeFromMappedTickPage(std::size_t size) { return tickPage().take(size, false); }

bool onTickPage(const void* p) { return tickPage().owns(p); }

void giveToTickPage(void* p) { tickPage().give(p); }

}  // namespace kvx::platform
