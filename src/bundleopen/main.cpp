// Bundle launcher for systems without macOS's "open": starts the executable of each given X.app.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QXmlStreamReader>

#include <cstdio>

namespace
{

// The value of the top-level key CFBundleExecutable of an XML property list, or "".
QString bundleExecutableFromPlist(const QString& plistPath)
{
    QFile file(plistPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QXmlStreamReader xml(&file);
    int depth = 0;
    bool nextIsExecutable = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        ++depth;
        // plist > dict > key|value: the bundle's own keys sit at depth 3.
        if (depth != 3)
            continue;
        if (nextIsExecutable)
            return xml.name() == QLatin1String("string") ? xml.readElementText() : QString();
        if (xml.name() == QLatin1String("key")) {
            nextIsExecutable = xml.readElementText() == QLatin1String("CFBundleExecutable");
            --depth; // readElementText consumed the end element
        }
    }
    return QString();
}

// Names that would leave Contents/MacOS are not taken from the property list.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && !name.contains('/') && name != "." && name != "..";
}

QString bundleExecutable(const QString& bundle)
{
    QString name = bundleExecutableFromPlist(bundle + "/Contents/Info.plist");
    if (!isPlainName(name)) {
        name = QFileInfo(bundle).fileName();
        if (name.endsWith(".app"))
            name.chop(4);
    }
    return bundle + "/Contents/MacOS/" + name;
}

bool launch(const QString& argument)
{
    const QString bundle = QDir::cleanPath(argument);
    if (!QFileInfo(bundle).isDir()) {
        fprintf(stderr, "open: %s is not an application bundle\n", qPrintable(argument));
        return false;
    }
    const QString executable = bundleExecutable(bundle);
    if (!QProcess::startDetached(executable, QStringList())) {
        fprintf(stderr, "open: cannot start %s\n", qPrintable(executable));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: open BUNDLE.app...\n"
                        "Starts each bundle's Contents/MacOS/<CFBundleExecutable> without "
                        "arguments.\n");
        return 1;
    }
    bool ok = true;
    for (int i = 1; i < argc; ++i)
        ok = launch(QFile::decodeName(argv[i])) && ok;
    return ok ? 0 : 1;
}
