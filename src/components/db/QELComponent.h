#pragma once
// TQELComponent: the base of the non-visual components. A component has a
// name and may have an owner; the owner holds it and frees it, last created
// first, when the owner itself goes. A component that keeps a raw pointer to
// another one asks for a free notification and is told before that other
// component is gone. Settings read from a stored form are applied in one
// loaded step after all of them are read, so that opening settings such as
// Connected take effect last, on a fully configured component.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

class TQELComponent;

// An event that carries only its sender.
using TQELNotifyEvent = std::function<void(TQELComponent& sender)>;
// Progress of a long operation: false in `Continue` stops it.
using TQELProgressEvent = std::function<void(TQELComponent& sender, int PercentDone, bool& Continue)>;

// What happened to the component a notification is about.
enum TQELOperation { opInsert, opRemove };

class TQELComponent {
 public:
  TQELComponent() = default;
  // Frees the owned components, last first, then tells every component that
  // asked for a free notification.
  virtual ~TQELComponent();
  TQELComponent(const TQELComponent&) = delete;
  TQELComponent& operator=(const TQELComponent&) = delete;

  const std::string& Name() const { return FName; }
  void SetName(const std::string& name);
  TQELComponent* Owner() const { return FOwner; }

  // Takes over `component` and answers it. The component must not have an
  // owner, and must not be this component or one of its owners
  // (std::invalid_argument); it may refuse its new owner by raising, and is
  // then freed. Every component of this owner, and the owner, are told.
  template <class T>
  T* InsertComponent(std::unique_ptr<T> component) {
    T* inserted = component.get();
    Insert(std::unique_ptr<TQELComponent>(std::move(component)));
    return inserted;
  }
  template <class T, class... TArgs>
  T* CreateComponent(TArgs&&... args) {
    return InsertComponent(std::make_unique<T>(std::forward<TArgs>(args)...));
  }
  // Gives up an owned component (null when it is not owned here); the
  // remaining components and the owner are told.
  std::unique_ptr<TQELComponent> RemoveComponent(TQELComponent* component);
  // Removes and frees an owned component.
  void FreeComponent(TQELComponent* component);
  std::size_t ComponentCount() const { return FComponents.size(); }
  TQELComponent* Components(std::size_t index) const { return FComponents.at(index).get(); }
  // The owned component of that name (exact spelling), or null.
  TQELComponent* FindComponent(std::string_view name) const;

  // `component` is told (opRemove) before this component is freed. Both
  // sides forget the link when either of them goes first.
  void FreeNotification(TQELComponent* component);
  void RemoveFreeNotification(TQELComponent* component);

  bool IsLoading() const { return FLoading; }
  bool IsDestroying() const { return FDestroying; }
  // Marks this component and everything it owns (and everything inserted
  // until the end) as being read from a stored form: settings that open
  // something are only stored meanwhile.
  void BeginLoading();
  // Ends the reading: clears the mark everywhere, then runs Loaded on this
  // component and on everything it owns, owners before what they own, in
  // creation order. Every component gets its step; the first error is
  // raised once all have run.
  void EndLoading();

 protected:
  // Applies the settings that were only stored while loading.
  virtual void Loaded() {}
  // `component` was inserted into or removed from this component's owner
  // (or this one), or a component this one asked about is being freed.
  virtual void Notification(TQELComponent* /*component*/, TQELOperation /*operation*/) {}
  // Raises when this component must not be inserted into `owner`.
  virtual void ValidateContainer(TQELComponent* /*owner*/) {}
  // The owner has changed (inserted, or removed from `oldOwner`).
  virtual void OwnerChanged(TQELComponent* /*oldOwner*/) {}
  virtual void NameChanged(const std::string& /*oldName*/) {}

  // Derived destructors call these first, while they are still whole: from
  // then on IsDestroying() holds, and what the component owns is freed.
  void Destroying() { FDestroying = true; }
  void DestroyComponents();

 private:
  void Insert(std::unique_ptr<TQELComponent> component);
  void NotifyOwnerTree(TQELComponent* component, TQELOperation operation);
  void MarkLoading();
  void CollectTree(std::vector<TQELComponent*>& tree);

  std::string FName;
  TQELComponent* FOwner = nullptr;
  std::vector<std::unique_ptr<TQELComponent>> FComponents;
  std::vector<TQELComponent*> FFreeNotifies;
  bool FLoading = false;
  bool FDestroying = false;
};

}  // namespace qel
