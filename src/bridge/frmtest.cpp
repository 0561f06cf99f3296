#include "bridge/frmtest.h"

#include "bridge/COwnFaxEventer.h"

#include <QTimer>

namespace sendmere {

frmtest::frmtest() : Tim(new QTimer(this)) {  // the timer is owned by the page
    setWindowTitle(QStringLiteral("frmtest"));
    Tim->setObjectName(QStringLiteral("Tim"));
    connect(Tim, &QTimer::timeout, this, &frmtest::Tim_Timer);
}

frmtest::~frmtest() { Tim->stop(); }

void frmtest::Form_Load() {
    Tim->setInterval(1000);
    Tim->start();
    eventer = std::make_unique<COwnFaxEventer>();
    hide();
}

void frmtest::Tim_Timer() {
    if (eventer) eventer->RaiseFaxEvent();
}

void loadFrmtest() { page<frmtest>(); }

void unloadFrmtest() {
    frmtest *hidden = existingPage<frmtest>();
    if (!hidden) return;
    hidden->Tim->stop();
    hidden->eventer.reset();
    // The slot empties now, not when the deferred deletion runs, so that a sink created
    // right after loads a page of its own.
    pageSlot(PageId::frmtest).clear();
    hidden->unload();
}

}  // namespace sendmere
