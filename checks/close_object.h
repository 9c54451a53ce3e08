// CloseObject: closes a record set or database and drops the reference, ignoring every failure.
#pragma once

#include <memory>

namespace vardenix {

template <class T>
void CloseObject(std::unique_ptr<T>& object) noexcept {
  if (!object) return;
  try {
    object->Close();
  } catch (...) {
    // Closing is best effort; the reference is dropped either way.
  }
  object.reset();
}

}  // namespace vardenix
