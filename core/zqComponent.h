#pragma once
// The object roots: TzqObject (a class name), TzqPersistent (assignable, stored) and
// TzqComponent (owned by another component, told when components it refers to go away).

#include <functional>
#include <string>
#include <vector>

#include "core/zqApi.h"

namespace zq {

class TzqValueReader;
class TzqValueWriter;

class ZQ_API TzqObject {
public:
  virtual ~TzqObject() = default;
  // The class name as the stored forms and messages use it ("TzqHttpRequest").
  virtual std::string ClassName() const { return "TzqObject"; }
};

class ZQ_API TzqPersistent : public TzqObject {
public:
  std::string ClassName() const override { return "TzqPersistent"; }

  // Copies source into this object. The base asks the source to assign itself (AssignTo)
  // and raises EzqConvertError "Cannot assign a <source> to a <this>" when it cannot.
  virtual void Assign(const TzqPersistent& source);

protected:
  virtual void AssignTo(TzqPersistent& destination) const;
  [[noreturn]] void AssignError(const TzqPersistent* source) const;
};

enum TzqOperation { opInsert, opRemove };

enum TzqComponentStateFlag : unsigned {
  csLoading = 1u << 0,
  csReading = 1u << 1,
  csWriting = 1u << 2,
  csDestroying = 1u << 3,
  csDesigning = 1u << 4,
  csUpdating = 1u << 5,
};

// A component with an owner. An owner destroys the components it owns when it is destroyed;
// a component destroyed earlier leaves its owner's list. FreeNotification registers a
// component to be told (Notification with opRemove) when this one is destroyed, so that it
// can clear its pointer to it.
class ZQ_API TzqComponent : public TzqPersistent {
public:
  explicit TzqComponent(TzqComponent* owner = nullptr);
  ~TzqComponent() override;
  TzqComponent(const TzqComponent&) = delete;
  TzqComponent& operator=(const TzqComponent&) = delete;

  std::string ClassName() const override { return "TzqComponent"; }

  TzqComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TzqComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
  TzqComponent* FindComponent(const std::string& name) const;

  // Takes ownership of component (which leaves its previous owner).
  void InsertComponent(TzqComponent* component);
  // Gives up ownership of component without destroying it.
  void RemoveComponent(TzqComponent* component);

  void FreeNotification(TzqComponent* component);
  void RemoveFreeNotification(TzqComponent* component);

  unsigned ComponentState() const { return state_; }
  bool HasState(TzqComponentStateFlag flag) const { return (state_ & flag) != 0; }
  void SetDesigning(bool designing);

  // Stored-form loading: raises csLoading until Loaded.
  void BeginLoading() { state_ |= csLoading; }
  void EndLoading();

protected:
  // Told when a component is inserted into or removed from this owner, and when a component
  // this one asked to hear about is destroyed (opRemove).
  virtual void Notification(TzqComponent* component, TzqOperation operation);
  // Runs once a stored form has been read.
  virtual void Loaded() {}

private:
  void RemoveNotifier(TzqComponent* component);

  TzqComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TzqComponent*> components_;
  std::vector<TzqComponent*> freeNotifies_;
  unsigned state_ = 0;
};

}  // namespace zq
