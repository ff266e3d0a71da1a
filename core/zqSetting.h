#pragma once
// Compare, store, notify: the shape of every published setter. A setting notifies only on a
// real change, so listeners never see a store that changed nothing.

#include <utility>

namespace zq {

// For a setting kept elsewhere (behind a getter and a setter).
template <typename T, typename Get, typename Set, typename Notify>
void UpdateSetting(const T& value, Get&& get, Set&& set, Notify&& notify) {
  if (get() == value) return;
  set(value);
  notify();
}

// For a setting kept in a field.
template <typename T, typename Notify>
void UpdateSetting(T& field, const T& value, Notify&& notify) {
  UpdateSetting(
      value, [&field]() -> const T& { return field; }, [&field](const T& v) { field = v; },
      std::forward<Notify>(notify));
}

}  // namespace zq
