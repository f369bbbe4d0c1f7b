// SPDX-License-Identifier: GPL-3.0-or-later
#include "redirecttarget.h"

#include <QTest>

using namespace Qt::StringLiterals;

// Where a redirect leads: a Location is resolved against the URL of the page that sent it
// as RFC 3986 section 5 resolves references.
class tst_RedirectTarget : public QObject
{
    Q_OBJECT

private slots:
    void rfc3986Examples_data();
    void rfc3986Examples();
    void resolve_data();
    void resolve();
};

void tst_RedirectTarget::rfc3986Examples_data()
{
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QString>("expected");

    // RFC 3986 section 5.4.1, normal examples; the row names are the references.
    const auto row = [](const QString &reference, const QString &expected) {
        QTest::addRow("%s", qPrintable(u'"' + reference + u'"')) << reference << expected;
    };
    row(u"g:h"_s, u"g:h"_s);
    row(u"g"_s, u"http://a/b/c/g"_s);
    row(u"./g"_s, u"http://a/b/c/g"_s);
    row(u"g/"_s, u"http://a/b/c/g/"_s);
    row(u"/g"_s, u"http://a/g"_s);
    row(u"//g"_s, u"http://g"_s);
    row(u"?y"_s, u"http://a/b/c/d;p?y"_s);
    row(u"g?y"_s, u"http://a/b/c/g?y"_s);
    row(u"#s"_s, u"http://a/b/c/d;p?q#s"_s);
    row(u"g#s"_s, u"http://a/b/c/g#s"_s);
    row(u"g?y#s"_s, u"http://a/b/c/g?y#s"_s);
    row(u";x"_s, u"http://a/b/c/;x"_s);
    row(u"g;x"_s, u"http://a/b/c/g;x"_s);
    row(u"g;x?y#s"_s, u"http://a/b/c/g;x?y#s"_s);
    row(u""_s, u"http://a/b/c/d;p?q"_s);
    row(u"."_s, u"http://a/b/c/"_s);
    row(u"./"_s, u"http://a/b/c/"_s);
    row(u".."_s, u"http://a/b/"_s);
    row(u"../"_s, u"http://a/b/"_s);
    row(u"../g"_s, u"http://a/b/g"_s);
    row(u"../.."_s, u"http://a/"_s);
    row(u"../../"_s, u"http://a/"_s);
    row(u"../../g"_s, u"http://a/g"_s);
    // Section 5.4.2, abnormal examples.
    row(u"../../../g"_s, u"http://a/g"_s);
    row(u"../../../../g"_s, u"http://a/g"_s);
    row(u"/./g"_s, u"http://a/g"_s);
    row(u"/../g"_s, u"http://a/g"_s);
    row(u"g."_s, u"http://a/b/c/g."_s);
    row(u".g"_s, u"http://a/b/c/.g"_s);
    row(u"g.."_s, u"http://a/b/c/g.."_s);
    row(u"..g"_s, u"http://a/b/c/..g"_s);
    row(u"./../g"_s, u"http://a/b/g"_s);
    row(u"./g/."_s, u"http://a/b/c/g/"_s);
    row(u"g/./h"_s, u"http://a/b/c/g/h"_s);
    row(u"g/../h"_s, u"http://a/b/c/h"_s);
    row(u"g;x=1/./y"_s, u"http://a/b/c/g;x=1/y"_s);
    row(u"g;x=1/../y"_s, u"http://a/b/c/y"_s);
    row(u"g?y/./x"_s, u"http://a/b/c/g?y/./x"_s);
    row(u"g?y/../x"_s, u"http://a/b/c/g?y/../x"_s);
    row(u"g#s/./x"_s, u"http://a/b/c/g#s/./x"_s);
    row(u"g#s/../x"_s, u"http://a/b/c/g#s/../x"_s);
    row(u"http:g"_s, u"http:g"_s); // the strict reading of section 5.2.2
}

void tst_RedirectTarget::rfc3986Examples()
{
    QFETCH(QString, reference);
    QFETCH(QString, expected);

    QCOMPARE(resolveLocation(u"http://a/b/c/d;p?q"_s, reference), expected);
}

void tst_RedirectTarget::resolve_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("expected");

    // A whole URL passes through unchanged, whatever its scheme or case.
    QTest::newRow("absolute") << u"http://a.example/x/"_s << u"http://b.example/new"_s
                              << u"http://b.example/new"_s;
    QTest::newRow("absolute-with-port")
        << u"http://a.example/"_s << u"http://b.example:8080/p?q=1#f"_s
        << u"http://b.example:8080/p?q=1#f"_s;
    QTest::newRow("absolute-dot-segments-kept")
        << u"http://a.example/"_s << u"http://b.example/x/../y"_s << u"http://b.example/x/../y"_s;
    QTest::newRow("absolute-other-scheme")
        << u"http://a.example/"_s << u"https://b.example/"_s << u"https://b.example/"_s;
    QTest::newRow("absolute-upper-case-scheme")
        << u"http://a.example/"_s << u"HTTP://B/"_s << u"HTTP://B/"_s;
    // References resolve against the base with its port.
    QTest::newRow("absolute-path-keeps-port")
        << u"http://a.example:8080/dir/page"_s << u"/x"_s << u"http://a.example:8080/x"_s;
    QTest::newRow("relative-path-keeps-port")
        << u"http://a.example:8080/dir/page"_s << u"x"_s << u"http://a.example:8080/dir/x"_s;
    QTest::newRow("network-path-takes-new-host")
        << u"http://a.example:8080/dir/"_s << u"//b.example/y"_s << u"http://b.example/y"_s;
    QTest::newRow("query-only") << u"http://a.example/dir/page?old"_s << u"?new"_s
                                << u"http://a.example/dir/page?new"_s;
    QTest::newRow("empty-host-base") << u"http:///dir/"_s << u"x"_s << u"http:///dir/x"_s;
    QTest::newRow("base-without-path")
        << u"http://a.example"_s << u"x"_s << u"http://a.example/x"_s;
    // A "://" in a reference's query does not make it a whole URL.
    QTest::newRow("url-in-query") << u"http://a.example/dir/"_s
                                  << u"/login?next=http://c.example/"_s
                                  << u"http://a.example/login?next=http://c.example/"_s;
    QTest::newRow("url-in-relative-path-query")
        << u"http://a.example/dir/"_s << u"go?to=http://c.example/"_s
        << u"http://a.example/dir/go?to=http://c.example/"_s;
}

void tst_RedirectTarget::resolve()
{
    QFETCH(QString, base);
    QFETCH(QString, location);
    QFETCH(QString, expected);

    QCOMPARE(resolveLocation(base, location), expected);
}

QTEST_APPLESS_MAIN(tst_RedirectTarget)
#include "tst_redirecttarget.moc"
