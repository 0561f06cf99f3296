#pragma once
// The list shape of the fax job: index 0 exists and is never used; entries run from 1 to
// upperBound(). A list that was never reset has no index at all (upperBound() is -1).
#include "platform/AutomationError.h"

#include <QList>

namespace sendmere {

template <typename T>
class IndexedList {
public:
    int upperBound() const { return int(m_items.size()) - 1; }
    int count() const { return upperBound() > 0 ? upperBound() : 0; }  // entries 1..upperBound()

    // Resizes to indices 0..newUpperBound, keeping the contents that fit.
    void redimPreserve(int newUpperBound) {
        if (newUpperBound < 0) throw AutomationError::subscriptOutOfRange();
        m_items.resize(newUpperBound + 1);
    }
    // Resizes to indices 0..newUpperBound, every entry empty.
    void redim(int newUpperBound) {
        m_items.clear();
        redimPreserve(newUpperBound);
    }
    void reset() { redim(0); }

    T &operator()(int index) { return m_items[checked(index)]; }
    const T &operator()(int index) const { return m_items[checked(index)]; }

private:
    qsizetype checked(int index) const {
        if (index < 0 || index > upperBound()) throw AutomationError::subscriptOutOfRange();
        return index;
    }
    QList<T> m_items;
};

}  // namespace sendmere
