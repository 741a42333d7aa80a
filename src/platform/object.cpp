// Method tables and calls by name.
#include "platform/object.h"

namespace platform {

MethodTable::MethodTable(const MethodTable* base, std::vector<Entry> entries)
    : base_(base), entries_(std::move(entries)) {}

const MethodTable::Entry* MethodTable::find(Selector selector) const {
  for (const MethodTable* table = this; table; table = table->base_) {
    for (const Entry& entry : table->entries_) {
      if (entry.selector == selector) return &entry;
    }
  }
  return nullptr;
}

const MethodTable& Object::classMethods() {
  static const MethodTable table(nullptr, {});
  return table;
}

const MethodTable& Object::methodTable() const { return classMethods(); }

bool Object::respondsToSelector(Selector selector) const {
  return !selector.isNull() && methodTable().find(selector) != nullptr;
}

bool Object::performSelector(Selector selector, const Arguments& args) {
  if (selector.isNull()) return false;
  if (const MethodTable::Entry* entry = methodTable().find(selector)) {
    return entry->invoke(*this, args, entry->member.get());
  }
  return forwardInvocation(selector, args);
}

bool Object::forwardInvocation(Selector, const Arguments&) { return false; }

}  // namespace platform
