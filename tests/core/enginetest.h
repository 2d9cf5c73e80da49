#pragma once

// One engine, each run into a fresh folder, against in-process servers for www.site.test and
// other hosts, plain and TLS.

#include "common/textconversion.h"
#include "crawl/engine.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/outputdirectory.h"
#include "report/failuretext.h"
#include "transport/connection.h"

#include "support/testcertificates.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QTest>

#include <gtest/gtest.h>

namespace tw {

using test::Behaviour;
using test::Route;
using test::TestHttpServer;

// Text is stored with a final CR LF.
inline std::string Stored(const std::string &body)
{
    return body + "\r\n";
}

class EngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SetTlsTrust({test::TrustedAuthority().Pem(), true}));
        NewFolder();
        m_engine.SetTimeoutInterval(300);
        // The designed requests alone: the tests of robots.txt turn it on.
        m_engine.Job().robots = false;
        m_engine.SetFileTypeFilterSource([] { return FileTypeFilterOf(DefaultFileTypes()); });
        QObject::connect(
            &m_engine, &Engine::slotStateChanged, &m_engine, [this](int slot, SlotState state) {
                m_state[slot] = state;
                m_stateHistory[slot].push_back(state);
            });
        QObject::connect(&m_engine, &Engine::slotReset, &m_engine,
            [this](int slot) { m_state[slot] = SlotState::NotConnected; });
        QObject::connect(
            &m_engine, &Engine::slotFailed, &m_engine, [this](int slot, const Failure &failure) {
                m_slotFailure[slot] = FailureText(failure);
            });
        QObject::connect(&m_engine, &Engine::siteCompleted, &m_engine, [this] { ++m_completions; });
        QObject::connect(&m_engine, &Engine::fetchFailed, &m_engine,
            [this](const std::string &url, const Failure &failure) {
                m_failures[DisplayText(url)] = FailureText(failure);
            });
        QObject::connect(&m_engine, &Engine::siteFailed, &m_engine,
            [this](const Failure &failure) { m_failure = FailureText(failure); });
        QObject::connect(&m_engine, &Engine::startUrlChanged, &m_engine,
            [this](const QString &url) { m_startUrl = url; });
    }

    void TearDown() override
    {
        if (m_engine.IsRunning())
            m_engine.StopNOW();
        Connection::ClearConnectTo();
        SetTlsTrust({});
    }

    // A fresh server for host (none: not mapped), asked for on fromPort (0: any), TLS when secure.
    TestHttpServer &Serve(
        const char *host = "www.site.test", quint16 fromPort = 0, bool secure = false)
    {
        auto &server = *m_servers.emplace_back(std::make_unique<TestHttpServer>());
        if (secure)
            server.UseTls(
                test::TrustedAuthority().Issue({"www.site.test", "site.test", "localhost"}));
        EXPECT_TRUE(server.Listen());
        if (host != nullptr)
            Connection::SetConnectTo(
                QString::fromLatin1(host), TestHttpServer::Address(), server.Port(), fromPort);
        return server;
    }

    void NewFolder()
    {
        SetOutputDirectory(m_root.Path() + "mirror" + std::to_string(++m_folders) + "/",
            m_engine.Job(), m_engine.Writes());
    }

    // Runs a job to its end: true when it completed, false when it failed or did not end in time.
    bool Run(const QString &url, int timeoutMs = 10000)
    {
        m_completions = 0;
        m_failure.clear();
        m_startUrl = m_engine.ConnectNowNow(url);
        (void)QTest::qWaitFor(
            [this] { return m_completions > 0 || !m_failure.isEmpty(); }, timeoutMs);
        return m_completions > 0;
    }

    // Pages /<prefix>0.html... of the given size and behaviour; returns the links to them.
    std::string Pages(const std::string &prefix, int count, std::size_t size, Behaviour how)
    {
        std::string links;
        for (int i = 0; i < count; ++i) {
            const std::string name = prefix + std::to_string(i) + ".html";
            links += "<a href='" + name + "'></a>";
            m_server.SetRoute("/" + name, Route::Page(std::string(size, 'x'))).behaviours = {how};
        }
        return links;
    }

    std::map<std::string, std::string> Tree() const
    {
        return test::ReadTree(
            QString::fromStdString(FileSystem::NativePath(m_engine.Job().outputDir)));
    }
    std::string File(const std::string &name) const
    {
        return test::ReadFileBytes(m_engine.Job().outputDir + "site.test/" + name);
    }

    static std::vector<std::string> HostsOf(const TestHttpServer &server)
    {
        std::vector<std::string> hosts;
        for (const test::Request &request : server.Requests()) {
            const std::size_t start = request.raw.find("Host: ") + 6;
            hosts.push_back(request.raw.substr(start, request.raw.find("\r\n", start) - start));
        }
        return hosts;
    }

    test::TempDir m_root;
    int m_folders = 0;
    std::vector<std::unique_ptr<TestHttpServer>> m_servers;
    TestHttpServer &m_server = Serve();
    Engine m_engine;
    std::map<int, SlotState> m_state;
    std::map<int, std::vector<SlotState>> m_stateHistory;
    std::map<int, QString> m_slotFailure;
    // Every URL that failed for good, shown as the windows show it, with its reason.
    std::map<QString, QString> m_failures;
    QString m_startUrl, m_failure;
    int m_completions = 0;
};

} // namespace tw
