#pragma once
// Small builders for the controls every page uses. Each control carries its page name as
// its object name, and every label is the buddy of the box it names, so assistive
// technology reaches each control by its visible text.
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QString>

namespace sendmere::parts {

template <typename Control, typename... Args>
Control *make(QWidget *parent, const char *name, Args &&...args) {
    auto *control = new Control(std::forward<Args>(args)..., parent);  // owned by parent
    control->setObjectName(QLatin1String(name));
    return control;
}

inline QLabel *label(QWidget *parent, const char *name, const QString &text, QWidget *buddy = nullptr) {
    auto *l = make<QLabel>(parent, name, text);
    if (buddy) {
        l->setBuddy(buddy);
        buddy->setAccessibleName(QString(text).remove(QLatin1Char('&')).remove(QLatin1Char(':')).trimmed());
    }
    return l;
}

inline QLabel *heading(QWidget *parent, const char *name, const QString &text) {
    QLabel *l = label(parent, name, text);
    QFont font = l->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    l->setFont(font);
    return l;
}

inline QPushButton *button(QWidget *parent, const char *name, const QString &text) {
    auto *b = make<QPushButton>(parent, name, text);
    b->setAutoDefault(false);
    b->setAccessibleName(QString(text).remove(QLatin1Char('&')));
    return b;
}

inline QFrame *separator(QWidget *parent) {
    auto *line = new QFrame(parent);  // owned by parent
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

}  // namespace sendmere::parts
