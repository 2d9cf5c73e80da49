// tidewell-testserver: the tests' HTTP/1.0 server as a program, for benchmarks and manual runs.
// Prints the port it listens on (127.0.0.1) on the first line of stdout, then serves until killed.

#include "support/testcertificates.h"
#include "support/testhttpserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tidewell-testserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves a directory over HTTP/1.0 on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Port to listen on (default: any free port)."), QStringLiteral("N"),
        QStringLiteral("0"));
    const QCommandLineOption rootOption(QStringLiteral("root"),
        QStringLiteral("Directory to serve (default: none, every path is 404)."),
        QStringLiteral("DIR"));
    const QCommandLineOption latencyOption(QStringLiteral("latency-ms"),
        QStringLiteral("Pause before every answer."), QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption tlsOption(QStringLiteral("tls"),
        QStringLiteral("Serve over TLS with a certificate for www.site.test, site.test, "
                       "localhost and 127.0.0.1, issued by a new authority whose certificate "
                       "is written to FILE."),
        QStringLiteral("FILE"));
    parser.addOptions({portOption, rootOption, latencyOption, tlsOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    bool latencyOk = false;
    const int latency = parser.value(latencyOption).toInt(&latencyOk);
    if (!portOk || port > 65535 || !latencyOk || latency < 0) {
        std::fprintf(stderr,
            "tidewell-testserver: --port needs 0 to 65535 and --latency-ms a "
            "whole number from 0\n");
        return 2;
    }

    tw::test::TestHttpServer server;
    if (parser.isSet(rootOption)) {
        const QString root = parser.value(rootOption);
        if (!QFileInfo(root).isDir()) {
            std::fprintf(stderr, "tidewell-testserver: %s is not a directory\n", qPrintable(root));
            return 2;
        }
        // Files below root ("/" and ".../" mean index.html); paths that climb out of it: 403.
        server.SetFallback([base = QDir(root).absolutePath()](const std::string &target) {
            // The target comes with its escapes decoded already.
            const QString path
                = QString::fromStdString(target.substr(0, target.find_first_of("?#")));
            if (path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
                return tw::test::Route::Status(403);
            QString file = base + path;
            if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
                file += QStringLiteral("index.html");
            QFile f(file);
            if (QFileInfo(file).isDir() || !f.open(QIODevice::ReadOnly))
                return tw::test::Route::Status(404);
            const QString type
                = QMimeDatabase().mimeTypeForFile(file, QMimeDatabase::MatchExtension).name();
            return tw::test::Route::Page(f.readAll().toStdString(), type.toStdString());
        });
    }
    server.SetLatency(latency);
    if (parser.isSet(tlsOption)) {
        const tw::test::TestAuthority authority;
        QFile caFile(parser.value(tlsOption));
        if (!caFile.open(QIODevice::WriteOnly)
            || caFile.write(QByteArray::fromStdString(authority.Pem())) < 0) {
            std::fprintf(
                stderr, "tidewell-testserver: cannot write %s\n", qPrintable(caFile.fileName()));
            return 2;
        }
        server.UseTls(authority.Issue({"www.site.test", "site.test", "localhost", "127.0.0.1"}));
    }
    if (!server.Listen(static_cast<quint16>(port))) {
        std::fprintf(stderr, "tidewell-testserver: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    return app.exec();
}
