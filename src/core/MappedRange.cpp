#include "core/MappedRange.h"

#include "core/PaddedText.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace tallyglass {

namespace {

// The live mappings, as the SIGBUS handler reads them: lock-free, so that the
// handler may. A slot is claimed by setting its start last, and freed by
// clearing its start first.
constexpr int slotCount = 32;

struct Slot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> lost{false};
    std::atomic<bool> taken{false};
};

Slot slots[slotCount];
struct sigaction previousHandler {};

std::size_t pageSize()
{
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

void onBusError(int signal, siginfo_t* info, void* context)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : slots) {
        const std::uintptr_t begin = slot.begin.load();
        if (begin == 0 || address < begin || address >= slot.end.load())
            continue;
        // The page the file lost becomes a page of zeros, and the read goes on.
        const std::uintptr_t page = address & ~(static_cast<std::uintptr_t>(pageSize()) - 1);
        void* zeros = ::mmap(reinterpret_cast<void*>(page), pageSize(), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                             -1, 0);
        if (zeros != MAP_FAILED) {
            slot.lost = true;
            return;
        }
        break;
    }
    // Not ours: whatever handled it before does, as if this one had never been there.
    if (previousHandler.sa_flags & SA_SIGINFO) {
        previousHandler.sa_sigaction(signal, info, context);
        return;
    }
    if (previousHandler.sa_handler != SIG_DFL && previousHandler.sa_handler != SIG_IGN) {
        previousHandler.sa_handler(signal);
        return;
    }
    ::sigaction(SIGBUS, &previousHandler, nullptr); // the faulting read runs again and ends the process
}

void installHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previousHandler);
    });
}

int claimSlot()
{
    for (int i = 0; i < slotCount; ++i) {
        bool expected = false;
        if (slots[i].taken.compare_exchange_strong(expected, true))
            return i;
    }
    return -1;
}

} // namespace

std::optional<MappedRange> MappedRange::map(int fd, std::uint64_t offset, std::size_t size)
{
    installHandler();
    const std::size_t page = pageSize();
    const std::uint64_t aligned = offset - offset % page;
    const auto lead = static_cast<std::size_t>(offset - aligned);
    const std::size_t fileBytes = (lead + size + page - 1) / page * page;
    // One page more than the file's part, of zeros: the padding after the last byte.
    const std::size_t reserved = fileBytes + (PaddedText::padding + page - 1) / page * page;
    const int slot = claimSlot();
    if (slot < 0) {
        errno = EBUSY;
        return std::nullopt;
    }
    void* base = ::mmap(nullptr, reserved, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED && fileBytes > 0
        && ::mmap(base, fileBytes, PROT_READ, MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd, static_cast<off_t>(aligned))
            == MAP_FAILED) {
        const int error = errno;
        ::munmap(base, reserved);
        errno = error;
        base = MAP_FAILED;
    }
    if (base == MAP_FAILED) {
        slots[slot].taken = false;
        return std::nullopt;
    }
    MappedRange range;
    range.base_ = static_cast<char*>(base);
    range.reserved_ = reserved;
    range.data_ = range.base_ + lead;
    range.size_ = size;
    range.slot_ = slot;
    Slot& entry = slots[slot];
    entry.lost = false;
    entry.end = reinterpret_cast<std::uintptr_t>(range.base_ + fileBytes);
    entry.begin = reinterpret_cast<std::uintptr_t>(range.base_);
    return range;
}

MappedRange::MappedRange(MappedRange&& other) noexcept
{
    *this = std::move(other);
}

MappedRange& MappedRange::operator=(MappedRange&& other) noexcept
{
    if (this != &other) {
        release();
        base_ = other.base_;
        reserved_ = other.reserved_;
        data_ = other.data_;
        size_ = other.size_;
        slot_ = other.slot_;
        other.base_ = nullptr;
        other.data_ = nullptr;
        other.size_ = other.reserved_ = 0;
        other.slot_ = -1;
    }
    return *this;
}

MappedRange::~MappedRange()
{
    release();
}

bool MappedRange::lostBytes() const
{
    return slot_ >= 0 && slots[slot_].lost.load();
}

void MappedRange::release()
{
    if (!base_)
        return;
    Slot& entry = slots[slot_];
    entry.begin = 0;
    entry.end = 0;
    ::munmap(base_, reserved_);
    entry.taken = false;
    base_ = nullptr;
    data_ = nullptr;
    size_ = reserved_ = 0;
    slot_ = -1;
}

} // namespace tallyglass
