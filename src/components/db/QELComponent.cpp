// TQELComponent: ownership, free notifications and the loaded step.

#include "components/db/QELComponent.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace qel {

namespace {

void Forget(std::vector<TQELComponent*>& list, const TQELComponent* component) {
  list.erase(std::remove(list.begin(), list.end(), component), list.end());
}

}  // namespace

TQELComponent::~TQELComponent() {
  Destroying();
  DestroyComponents();
  // Only the owner frees an owned component; one freed some other way must
  // at least not stay listed there.
  if (FOwner != nullptr) {
    auto& siblings = FOwner->FComponents;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
      if (it->get() == this) {
        it->release();
        siblings.erase(it);
        break;
      }
    }
    FOwner = nullptr;
  }
  // Each listener may drop other links while it is told: take them one by one.
  while (!FFreeNotifies.empty()) {
    TQELComponent* listener = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    Forget(listener->FFreeNotifies, this);
    listener->Notification(this, opRemove);
  }
}

void TQELComponent::SetName(const std::string& name) {
  if (name == FName) return;
  const std::string oldName = FName;
  FName = name;
  NameChanged(oldName);
}

void TQELComponent::Insert(std::unique_ptr<TQELComponent> component) {
  if (component == nullptr) throw std::invalid_argument("no component to insert");
  if (component->FOwner != nullptr) throw std::invalid_argument("the component has an owner already");
  for (TQELComponent* owner = this; owner != nullptr; owner = owner->FOwner) {
    if (owner == component.get()) throw std::invalid_argument("a component cannot own itself");
  }
  component->ValidateContainer(this);
  TQELComponent* inserted = component.get();
  FComponents.push_back(std::move(component));
  inserted->FOwner = this;
  if (FLoading) inserted->MarkLoading();
  inserted->OwnerChanged(nullptr);
  NotifyOwnerTree(inserted, opInsert);
}

std::unique_ptr<TQELComponent> TQELComponent::RemoveComponent(TQELComponent* component) {
  auto it = std::find_if(FComponents.begin(), FComponents.end(),
                         [component](const auto& owned) { return owned.get() == component; });
  if (it == FComponents.end()) return nullptr;
  std::unique_ptr<TQELComponent> removed = std::move(*it);
  FComponents.erase(it);
  removed->FOwner = nullptr;
  removed->OwnerChanged(this);
  NotifyOwnerTree(removed.get(), opRemove);
  return removed;
}

void TQELComponent::FreeComponent(TQELComponent* component) { RemoveComponent(component).reset(); }

TQELComponent* TQELComponent::FindComponent(std::string_view name) const {
  for (const auto& owned : FComponents) {
    if (owned->FName == name) return owned.get();
  }
  return nullptr;
}

void TQELComponent::NotifyOwnerTree(TQELComponent* component, TQELOperation operation) {
  // A handler may insert or remove components: walk a copy, and tell only
  // those still owned here.
  std::vector<TQELComponent*> told;
  told.reserve(FComponents.size());
  for (const auto& owned : FComponents) told.push_back(owned.get());
  Notification(component, operation);
  for (TQELComponent* owned : told) {
    const bool stillOwned = std::any_of(FComponents.begin(), FComponents.end(),
                                        [owned](const auto& entry) { return entry.get() == owned; });
    if (stillOwned && owned != component) owned->Notification(component, operation);
  }
}

void TQELComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    std::unique_ptr<TQELComponent> last = std::move(FComponents.back());
    FComponents.pop_back();
    last->FOwner = nullptr;
    last.reset();
  }
}

void TQELComponent::FreeNotification(TQELComponent* component) {
  if (component == nullptr || component == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component) == FFreeNotifies.end()) {
    FFreeNotifies.push_back(component);
  }
  if (std::find(component->FFreeNotifies.begin(), component->FFreeNotifies.end(), this) ==
      component->FFreeNotifies.end()) {
    component->FFreeNotifies.push_back(this);
  }
}

void TQELComponent::RemoveFreeNotification(TQELComponent* component) {
  if (component == nullptr) return;
  Forget(FFreeNotifies, component);
  Forget(component->FFreeNotifies, this);
}

void TQELComponent::MarkLoading() {
  FLoading = true;
  for (const auto& owned : FComponents) owned->MarkLoading();
}

void TQELComponent::BeginLoading() { MarkLoading(); }

void TQELComponent::CollectTree(std::vector<TQELComponent*>& tree) {
  tree.push_back(this);
  for (const auto& owned : FComponents) owned->CollectTree(tree);
}

void TQELComponent::EndLoading() {
  std::vector<TQELComponent*> tree;
  CollectTree(tree);
  for (TQELComponent* component : tree) component->FLoading = false;
  // A loaded step may free components that come later (a session freeing a
  // temporary database): only those still in the tree get theirs.
  std::vector<TQELComponent*> live;
  std::exception_ptr failure;
  for (TQELComponent* component : tree) {
    live.clear();
    CollectTree(live);
    if (std::find(live.begin(), live.end(), component) == live.end()) continue;
    try {
      component->Loaded();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace qel
