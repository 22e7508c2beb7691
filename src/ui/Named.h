#pragma once
// A control made with the object name the tests and the screenshots know it by.
#include <QString>
#include <QWidget>

namespace swn {

template <typename W>
W* Named(QWidget* parent, const char* name)
{
    auto* w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

} // namespace swn
