// Signature and hash checks as background tasks: verdicts, messages, and the order of signals.
#include "checksigfunc.h"
#include "checksignaturetaskspecification.h"
#include "crypto.h"
#include "networktestenv.h"
#include "publickey.h"
#include "testsigning.h"

#include <QCryptographicHash>
#include <QFileInfo>

using namespace testsigning;

namespace {

QString sha512(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

class CheckSignatureTest : public NetworkTest
{
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        initCrypto();
    }

    // Runs one check task to its end; returns the signals in the order they came.
    QStringList run(const QString &file, const QString &hash, bool fatal, int *state = nullptr)
    {
        auto *task = new CheckSignatureTaskSpecification(file, hash, fatal, &m_Parent, 1.0);
        QStringList events;
        QObject::connect(task, &CheckSignatureTaskSpecification::checkDone,
                         [&](bool pass, CheckSignatureTaskSpecification *t) {
                             events << (pass ? "pass" : "fail");
                             EXPECT_EQ(t, task);
                         });
        QObject::connect(task, &TaskSpecification::message, [&](QString m) { events << m; });
        QObject::connect(task, &TaskSpecification::finished, [&]() { events << "finished"; });
        QObject::connect(task, &TaskSpecification::canceled, [&]() { events << "canceled"; });
        task->execute();
        EXPECT_TRUE(waitUntil([&]() {
            return events.contains("finished") || events.contains("canceled");
        }));
        QCoreApplication::processEvents(); // a second end signal would show up here
        if (state)
            *state = task->taskState();
        delete task;
        return events;
    }

    QObject m_Parent;
};

bool builtInKeyIsDemoKey()
{
    return QByteArray(reinterpret_cast<const char *>(g_PublicKeyDer), int(g_PublicKeyDerLength))
        == demoPublicKeyDer();
}

} // namespace

TEST_F(CheckSignatureTest, HashChecks)
{
    const QByteArray big(200 * 1024 + 17, 'q'); // several read chunks, the last one short
    ASSERT_TRUE(writeFile(path("big"), big));
    ASSERT_TRUE(writeFile(path("empty"), QByteArray()));
    const QString missing = path("missing");
    const QString failed = "Signature check failed for ";
    const struct {
        const char *what;
        QString file;
        QString hash;
        bool fatal;
        QStringList events;
        int state;
    } rows[] = {
        {"lower case", path("big"), sha512(big), true, {"pass", "finished"},
         TaskSpecification::TASK_FINISHED},
        {"upper case", path("big"), sha512(big).toUpper(), true, {"pass", "finished"},
         TaskSpecification::TASK_FINISHED},
        {"empty file", path("empty"), sha512(QByteArray()), true, {"pass", "finished"},
         TaskSpecification::TASK_FINISHED},
        {"wrong hash, fatal", path("big"), sha512("other"), true,
         {failed + path("big"), "fail", "canceled"}, TaskSpecification::TASK_FAILED},
        {"wrong hash, not fatal", path("big"), sha512("other"), false,
         {failed + path("big"), "fail", "finished"}, TaskSpecification::TASK_FINISHED},
        {"missing file, not fatal", missing, sha512(big), false,
         {"Could not open file " + missing + " for reading", failed + missing, "fail", "finished"},
         TaskSpecification::TASK_FINISHED},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        int state = -1;
        EXPECT_EQ(run(row.file, row.hash, row.fatal, &state), row.events);
        EXPECT_EQ(state, row.state);
    }
}

TEST_F(CheckSignatureTest, SignatureChecks)
{
    if (!builtInKeyIsDemoKey())
        GTEST_SKIP() << "built with another public key than the demo key";
    const QByteArray manifest("[files]\nbin/x=1\n");
    ASSERT_TRUE(makePrivateKey(path("other.pem")));
    const QString file = path("m");
    const QString sig = file + ".sig";
    const QString failed = "Signature check failed for " + file;
    const struct {
        const char *what;
        std::function<void()> prepare;
        QStringList events;
    } rows[] = {
        {"genuine", [&]() { ASSERT_TRUE(signWithDemoKey(file)); }, {"pass", "finished"}},
        {"empty data, genuine signature",
         [&]() { ASSERT_TRUE(writeFile(file, {}) && signWithDemoKey(file)); }, {"pass", "finished"}},
        {"no signature file", [&]() { QFile::remove(sig); },
         {"Could not open file " + sig + " for reading", failed, "fail", "canceled"}},
        {"signature of wrong length",
         [&]() { ASSERT_TRUE(signWithDemoKey(file) && writeFile(sig, readFile(sig).left(64))); },
         {failed, "fail", "canceled"}},
        {"tampered data",
         [&]() { ASSERT_TRUE(signWithDemoKey(file) && writeFile(file, manifest + " ")); },
         {failed, "fail", "canceled"}},
        {"signed by another key", [&]() { ASSERT_TRUE(signFile(path("other.pem"), file, sig)); },
         {failed, "fail", "canceled"}},
        {"data too large to read",
         [&]() {
             QFile f(file);
             ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(CheckSigFunc::MAX_READ_SIZE + 1));
         },
         {QStringLiteral("File %1 is too large to check (%2 bytes)")
              .arg(file).arg(CheckSigFunc::MAX_READ_SIZE + 1),
          failed, "fail", "canceled"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(writeFile(file, manifest));
        row.prepare();
        EXPECT_EQ(run(file, QString(), true), row.events);
    }
}

TEST_F(CheckSignatureTest, FunctionObjectWorksWithoutATask)
{
    if (!builtInKeyIsDemoKey())
        GTEST_SKIP() << "built with another public key than the demo key";
    const QString file = path("m");
    ASSERT_TRUE(writeFile(file, "data") && signWithDemoKey(file));
    EXPECT_TRUE(CheckSigFunc(file, QString()).run());
    EXPECT_TRUE(CheckSigFunc(file, sha512("data")).run());
    ASSERT_TRUE(writeFile(file, "date"));
    EXPECT_FALSE(CheckSigFunc(file, QString()).run());
    EXPECT_FALSE(CheckSigFunc(file, sha512("data")).run());
}
