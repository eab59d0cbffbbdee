// Loaded with LD_PRELOAD into a program under test: makes one chosen
// allocation of the process fail, as when memory runs out.
//   OSPRIN_FAIL_NEW_AT=N       the Nth operator new (counted from 1) throws
//                              std::bad_alloc (the nothrow forms return null)
//   OSPRIN_COUNT_NEW_FILE=PATH at exit, the number of allocations made is
//                              written to PATH (to choose N)
// Only the allocations of operator new are counted; malloc is left alone.
// A program built with AddressSanitizer has its own operator new, which
// this library cannot replace: no count file is written then.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

unsigned long g_count = 0;
unsigned long g_failAt = 0;
bool g_ready = false;

void init() {
  if (g_ready) return;
  g_ready = true;
  if (const char* v = std::getenv("OSPRIN_FAIL_NEW_AT")) g_failAt = std::strtoul(v, nullptr, 10);
}

bool failNow() {
  init();
  return ++g_count == g_failAt;
}

void* allocate(std::size_t n) {
  if (failNow()) throw std::bad_alloc();
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void* allocateAligned(std::size_t n, std::align_val_t a) {
  if (failNow()) throw std::bad_alloc();
  const std::size_t align = static_cast<std::size_t>(a);
  void* p = std::aligned_alloc(align, (n + align - 1) / align * align);
  if (!p) throw std::bad_alloc();
  return p;
}

struct Report {
  ~Report() {
    const char* path = std::getenv("OSPRIN_COUNT_NEW_FILE");
    if (!path) return;
    if (std::FILE* f = std::fopen(path, "w")) {
      std::fprintf(f, "%lu\n", g_count);
      std::fclose(f);
    }
  }
} g_report;

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (failNow()) return nullptr;
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  if (failNow()) return nullptr;
  return std::malloc(n ? n : 1);
}
void* operator new(std::size_t n, std::align_val_t a) { return allocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocateAligned(n, a); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
