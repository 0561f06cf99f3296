#pragma once
// The hidden page that carries the one-second poll of the outgoing queue. One per process:
// the event sink loads it, and terminating an event sink unloads it.
#include "services/FormPage.h"

#include <memory>

class QTimer;

namespace sendmere {

class COwnFaxEventer;

class frmtest : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmtest;
    frmtest();
    ~frmtest() override;

    // Starts Tim at 1000 ms with a new eventer and keeps the page hidden.
    void Form_Load() override;
    void Tim_Timer();

    QTimer *Tim;
    std::unique_ptr<COwnFaxEventer> eventer;
};

void loadFrmtest();    // creates the page when there is none
void unloadFrmtest();  // stops the poll and destroys the page

}  // namespace sendmere
