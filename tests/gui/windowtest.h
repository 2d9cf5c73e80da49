#pragma once

// The common ground of the window tests: an engine, its main window (not shown unless a test
// shows it), a download folder of its own and, on request, a site served by the test server
// under the name www.site.test.

#include "connections/engine.h"
#include "forms/frmmain.h"
#include "gui/modaldriver.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QLabel>

#include <gtest/gtest.h>

#include <memory>

namespace tw::test {

class WindowTest : public ::testing::Test
{
protected:
    WindowTest();
    ~WindowTest() override;

    // Shows the main window and waits until it is active; the wizard stays closed.
    void ShowQuietly();
    // Serves the site on the test server and sends www.site.test there.
    void ServeSite();
    // Starts a job on the start page of www.site.test from the URL box.
    void StartJob(const QString &url = QStringLiteral("http://www.site.test/"));

    // Clicks the number in the connection-count list, as a user does.
    void ChooseConnections(int count);
    QLabel *Row(const char *column, int slot) const;

    TempDir output;
    Engine engine;
    std::unique_ptr<frmMain> window;
    std::unique_ptr<TestHttpServer> server;
};

} // namespace tw::test
