#include "core/zqComponent.h"

#include <gtest/gtest.h>

#include "core/zqError.h"

namespace zq {
namespace {

// Refers to another component and clears the pointer when it goes away.
class Holder : public TzqComponent {
public:
  explicit Holder(TzqComponent* owner, int* destroyed = nullptr) : TzqComponent(owner), destroyed_(destroyed) {}
  ~Holder() override {
    if (destroyed_) ++*destroyed_;
  }
  void SetTarget(TzqComponent* target) {
    if (target_) target_->RemoveFreeNotification(this);
    target_ = target;
    if (target_) target_->FreeNotification(this);
  }
  TzqComponent* Target() const { return target_; }

protected:
  void Notification(TzqComponent* component, TzqOperation operation) override {
    if (operation == opRemove && component == target_) target_ = nullptr;
  }

private:
  TzqComponent* target_ = nullptr;
  int* destroyed_;
};

TEST(Component, OwnerDestroysItsChildrenAndChildrenLeaveWhenDestroyedFirst) {
  int destroyed = 0;
  auto* owner = new TzqComponent();
  auto* a = new Holder(owner, &destroyed);
  auto* b = new Holder(owner, &destroyed);
  a->SetName("First");
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->FindComponent("first"), a);
  delete b;
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(destroyed, 1);
  delete owner;
  EXPECT_EQ(destroyed, 2);
}

TEST(Component, FreeNotificationClearsReferencesBothWays) {
  TzqComponent owner;
  auto* holder = new Holder(&owner);
  auto* target = new TzqComponent(&owner);
  holder->SetTarget(target);
  delete target;
  EXPECT_EQ(holder->Target(), nullptr);

  // The holder going first must not leave a dangling notifier in the target.
  auto* target2 = new TzqComponent(&owner);
  holder->SetTarget(target2);
  delete holder;
  delete target2;  // would touch the freed holder if it were still registered
  EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(Component, InsertMovesOwnershipAndRemoveGivesItUp) {
  TzqComponent first, second;
  auto* child = new TzqComponent(&first);
  second.InsertComponent(child);
  EXPECT_EQ(first.ComponentCount(), 0);
  EXPECT_EQ(child->Owner(), &second);
  second.RemoveComponent(child);
  EXPECT_EQ(child->Owner(), nullptr);
  delete child;
}

TEST(Component, LoadingStateEndsWithLoaded) {
  struct Loader : TzqComponent {
    int loaded = 0;
    void Loaded() override { ++loaded; }
  } component;
  component.BeginLoading();
  EXPECT_TRUE(component.HasState(csLoading));
  component.EndLoading();
  component.EndLoading();
  EXPECT_FALSE(component.HasState(csLoading));
  EXPECT_EQ(component.loaded, 1);
}

TEST(Persistent, AssignWithoutSupportNamesBothClasses) {
  TzqPersistent a;
  TzqComponent b;
  try {
    a.Assign(b);
    FAIL();
  } catch (const EzqConvertError& error) {
    EXPECT_STREQ(error.what(), "Cannot assign a TzqComponent to a TzqPersistent");
  }
}

}  // namespace
}  // namespace zq
