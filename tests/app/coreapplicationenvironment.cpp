// Gives every test of the executable a QCoreApplication, so queued signals and deleteLater() work.
#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

class CoreApplicationEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { m_App = new QCoreApplication(m_Argc, m_Argv); }
    void TearDown() override
    {
        delete m_App;
        m_App = nullptr;
    }

private:
    int m_Argc = 1;
    char m_Name[16] = "tests";
    char *m_Argv[2] = {m_Name, nullptr};
    QCoreApplication *m_App = nullptr;
};

// Registered before gtest_main's main() runs the tests.
::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new CoreApplicationEnvironment);

} // namespace
