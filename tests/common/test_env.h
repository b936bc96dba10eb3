#pragma once

// Test set-up shared by the tool's tests.
//
// temporary_data_home points the per-user folders (XDG_DATA_HOME and its siblings) at a
// fresh temporary folder, so a test never reads or writes the real user's data folder.
// VORTAN_TEST_MAIN(TestClass) is QTEST_MAIN with one of these set up before the
// QApplication exists, for the lifetime of the whole test program.

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <utility>

namespace quillmar::test {

// Points XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_CACHE_HOME and XDG_RUNTIME_DIR at folders
// inside a new temporary folder while it lives, and puts the previous values back when
// it goes. Objects may nest: the inner one wins while it lives.
class temporary_data_home {
public:
    temporary_data_home() {
        if (!root.isValid()) {
            return;
        }
        for (auto& [name, previous] : saved) {
            previous = {qEnvironmentVariableIsSet(name), qgetenv(name)};
        }
        set("XDG_DATA_HOME", QStringLiteral("data"));
        set("XDG_CONFIG_HOME", QStringLiteral("config"));
        set("XDG_CACHE_HOME", QStringLiteral("cache"));
        set("XDG_RUNTIME_DIR", QStringLiteral("runtime"));
        // Qt accepts a runtime folder only when nobody else may enter it.
        QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ok = true;
    }
    ~temporary_data_home() {
        if (!ok) {
            return;
        }
        for (const auto& [name, previous] : saved) {
            if (previous.first) {
                qputenv(name, previous.second);
            } else {
                qunsetenv(name);
            }
        }
    }
    temporary_data_home(const temporary_data_home&) = delete;
    temporary_data_home& operator=(const temporary_data_home&) = delete;

    bool valid() const noexcept { return ok; }
    // The folder XDG_DATA_HOME names.
    QString path() const { return root.filePath(QStringLiteral("data")); }
    // The application's own data folder below it: what QStandardPaths::DataLocation gives
    // a program that sets no organisation or application name (Qt then uses the name of
    // the executable). Needs the QCoreApplication.
    QString data_location() const {
        return path() + QLatin1Char('/') + QCoreApplication::applicationName();
    }
    // The application's data folder for the XDG_DATA_HOME in force now.
    static QString current_data_location() {
        return qEnvironmentVariable("XDG_DATA_HOME") + QLatin1Char('/') +
               QCoreApplication::applicationName();
    }
    // Points XDG_DATA_HOME somewhere else for the rest of this object's life, for example
    // at a place where no folder can be created.
    static void point_data_home_at(const QString& folder) {
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder));
    }

private:
    void set(const char* name, const QString& sub) {
        const QString folder = root.filePath(sub);
        QDir().mkpath(folder);
        qputenv(name, QFile::encodeName(folder));
    }

    QTemporaryDir root;
    bool ok = false;
    std::array<std::pair<const char*, std::pair<bool, QByteArray>>, 4> saved{{
        {"XDG_DATA_HOME", {}},
        {"XDG_CONFIG_HOME", {}},
        {"XDG_CACHE_HOME", {}},
        {"XDG_RUNTIME_DIR", {}},
    }};
};

} // namespace quillmar::test

// QTEST_MAIN for widget tests, with a temporary data home in place before the QApplication
// is built and until the program ends.
#define VORTAN_TEST_MAIN(TestObject)                                                               \
    int main(int argc, char* argv[]) {                                                             \
        ::quillmar::test::temporary_data_home data_home;                                           \
        if (!data_home.valid()) {                                                                  \
            qFatal("cannot create a temporary data home");                                         \
        }                                                                                          \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
