// Test seams of the document store. Not installed and not exported from
// libnorv-platform.so: a test that uses them links norv_platform_static.
// Thread-safety: the switches are atomic; set them while no save runs.
#ifndef NORV_PLATFORM_DOCUMENTS_DOCUMENT_TESTING_H_
#define NORV_PLATFORM_DOCUMENTS_DOCUMENT_TESTING_H_

#include <chrono>

namespace Norv::PreferredTDList::testing {

// Fault injection for tests of failed saves: while a step is set to fail,
// every save raises DocumentException at that step as if the system call had
// failed (with EIO; kWrite writes part of the document first).
enum class WriteStep { kCreateTemporary, kWrite, kSync, kRename, kSyncDirectory };
void SetWriteStepFails(WriteStep step, bool fails) noexcept;

// How long a save waits for another process's lock before it fails
// (30 seconds unless changed).
void SetLockTimeout(std::chrono::milliseconds timeout) noexcept;

}  // namespace Norv::PreferredTDList::testing

#endif  // NORV_PLATFORM_DOCUMENTS_DOCUMENT_TESTING_H_
