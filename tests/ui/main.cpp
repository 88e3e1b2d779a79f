// Runs the registered test classes one after another in one application. Test function names on the
// command line pick the classes that have them; each class gets only its own names.
#include "tests/ui/uitest.h"

#include <QApplication>
#include <QByteArray>
#include <QMetaMethod>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

struct Entry
{
    QByteArray name;
    int order;
    std::function<QObject *()> make;
};

std::vector<Entry> &registry()
{
    static std::vector<Entry> entries;
    return entries;
}

bool hasTestFunction(const QMetaObject *meta, const QByteArray &function)
{
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Private &&
            method.name() == function)
            return true;
    }
    return false;
}

} // namespace

bool uitest::add(const char *name, int order, std::function<QObject *()> make)
{
    registry().push_back({name, order, std::move(make)});
    return true;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);

    // Options (with their values) pass to every class; other words name test functions ("name" or
    // "name:tag").
    static const QByteArrayList valued{"-o",          "-maxwarnings", "-eventdelay", "-keydelay",
                                       "-mousedelay", "-seed",        "-platform"};
    QList<QByteArray> options, functions;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg.startsWith('-')) {
            options.append(arg);
            if (valued.contains(arg) && i + 1 < argc)
                options.append(argv[++i]);
        } else {
            functions.append(arg);
        }
    }

    std::vector<Entry> entries = registry();
    std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.order != b.order ? a.order < b.order : a.name < b.name;
    });
    int failed = 0;
    for (const Entry &entry : entries) {
        const std::unique_ptr<QObject> test(entry.make());
        QList<QByteArray> own;
        for (const QByteArray &function : functions)
            if (hasTestFunction(test->metaObject(), function.split(':').first()))
                own.append(function);
        if (!functions.isEmpty() && own.isEmpty())
            continue;
        QList<QByteArray> args{QByteArray(argv[0])};
        args += options;
        args += own;
        std::vector<char *> raw;
        for (QByteArray &arg : args)
            raw.push_back(arg.data());
        failed += QTest::qExec(test.get(), int(raw.size()), raw.data());
    }
    return failed == 0 ? 0 : 1;
}
