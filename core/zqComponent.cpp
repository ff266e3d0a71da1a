#include "core/zqComponent.h"

#include <algorithm>
#include <cctype>

#include "core/zqError.h"

namespace zq {

namespace {

const char* const sAssignError = "Cannot assign a %s to a %s";

template <typename T>
void EraseValue(std::vector<T*>& list, T* value) {
  list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

}  // namespace

void TzqPersistent::Assign(const TzqPersistent& source) { source.AssignTo(*this); }

void TzqPersistent::AssignTo(TzqPersistent& destination) const { destination.AssignError(this); }

void TzqPersistent::AssignError(const TzqPersistent* source) const {
  const std::string sourceName = source ? source->ClassName() : "nil";
  throw EzqConvertError(Format(sAssignError, sourceName.c_str(), ClassName().c_str()));
}

TzqComponent::TzqComponent(TzqComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TzqComponent::~TzqComponent() {
  state_ |= csDestroying;
  // Tell every component that asked; each clears its reference and forgets us.
  while (!freeNotifies_.empty()) {
    TzqComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    other->RemoveNotifier(this);
    other->Notification(this, opRemove);
  }
  // Destroy what we own, last inserted first.
  while (!components_.empty()) {
    TzqComponent* child = components_.back();
    child->owner_ = nullptr;
    components_.pop_back();
    delete child;
  }
  if (owner_) owner_->RemoveComponent(this);
}

TzqComponent* TzqComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TzqComponent* child : components_) {
    if (child->name_.size() == name.size() &&
        std::equal(name.begin(), name.end(), child->name_.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        }))
      return child;
  }
  return nullptr;
}

void TzqComponent::InsertComponent(TzqComponent* component) {
  if (!component || component->owner_ == this) return;
  if (component->owner_) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  Notification(component, opInsert);
}

void TzqComponent::RemoveComponent(TzqComponent* component) {
  if (!component || component->owner_ != this) return;
  EraseValue(components_, component);
  component->owner_ = nullptr;
  if (!HasState(csDestroying)) Notification(component, opRemove);
}

void TzqComponent::FreeNotification(TzqComponent* component) {
  if (!component || component == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end()) {
    freeNotifies_.push_back(component);
    component->freeNotifies_.push_back(this);
  }
}

void TzqComponent::RemoveFreeNotification(TzqComponent* component) {
  if (!component) return;
  EraseValue(freeNotifies_, component);
  component->RemoveNotifier(this);
}

void TzqComponent::RemoveNotifier(TzqComponent* component) { EraseValue(freeNotifies_, component); }

void TzqComponent::SetDesigning(bool designing) {
  if (designing)
    state_ |= csDesigning;
  else
    state_ &= ~static_cast<unsigned>(csDesigning);
}

void TzqComponent::EndLoading() {
  if (!HasState(csLoading)) return;
  state_ &= ~static_cast<unsigned>(csLoading);
  Loaded();
}

void TzqComponent::Notification(TzqComponent*, TzqOperation) {}

}  // namespace zq
