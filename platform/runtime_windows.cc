// C++ runtime pieces of the Windows patcher. Every patch carries this
// executable, so it must stay small: libstdc++'s own allocation functions
// and error throwers bring in exception objects, the unwinder and the
// terminate handler's demangler, several times the size of the whole
// program. The patcher never throws or catches, and it is built with
// -fno-exceptions; these definitions take the place of the library's.
#include <bits/functexcept.h>

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace {

// An allocation that cannot be satisfied outside the engine's own checked
// buffers, or a container length beyond what the library can hold: the run
// cannot go on. Ending through exit still passes buffered data to the files
// and to standard output.
[[noreturn]] void endRun() { std::exit(1); }

void* allocate(std::size_t size) noexcept {
  return std::malloc(size != 0 ? size : 1);
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) noexcept {
  return _aligned_malloc(size != 0 ? size : 1,
                         static_cast<std::size_t>(alignment));
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = allocate(size);
  if (p == nullptr) endRun();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
// Null on failure: the engine's transfer buffers test for it.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

// The aligned forms, for the engine's page-aligned transfer buffers.
void* operator new(std::size_t size, std::align_val_t alignment) {
  void* p = allocateAligned(size, alignment);
  if (p == nullptr) endRun();
  return p;
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment,
                   const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}
void operator delete(void* p, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  _aligned_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  _aligned_free(p);
}
void operator delete(void* p, std::align_val_t,
                     const std::nothrow_t&) noexcept {
  _aligned_free(p);
}
void operator delete[](void* p, std::align_val_t,
                       const std::nothrow_t&) noexcept {
  _aligned_free(p);
}

// What the standard containers call where they would throw.
namespace std {
void __throw_bad_alloc() { endRun(); }
void __throw_bad_array_new_length() { endRun(); }
void __throw_length_error(const char*) { endRun(); }
void __throw_logic_error(const char*) { endRun(); }
void __throw_out_of_range(const char*) { endRun(); }
void __throw_out_of_range_fmt(const char*, ...) { endRun(); }
}  // namespace std
