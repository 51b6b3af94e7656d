// Draws the program's icons. Built and run only on request, from the repository's top folder:
// clang-format off
//   g++ -std=c++20 -fPIC app/res/drawIcons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/drawIcons && /tmp/drawIcons app/res
// clang-format on
// writes app/res/icons/<id>.png (32 x 32), app/res/icons/<id>-16.png and <id>-20.png (drawn anew at
// 16 and 20 pixels, sharper than the large picture scaled down) and the program's icon for the
// desktop's menu, app/res/hicolor/<n>x<n>/apps/kestrovan.png (48 and 256). A new icon also needs its
// three files in app/res/icons.cmake.
//   /tmp/drawIcons --sheet app/res /tmp/icons.png [16,20,32 [3 [128-184]]]
// reads the icons back as the program does (one QIcon of the three files) and draws the icons whose
// numbers lie in the range at the sizes given on a light and a dark background, enlarged, to look at.
//
// Every picture is drawn on a 32 x 32 grid of units. At 32 pixels a unit is a pixel; the small
// pictures are the same drawing at a smaller scale with the fine details left out (`small`). A line
// 2 units wide on an odd coordinate falls on whole pixels at 32 and at 16 pixels.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

namespace {

struct Pen {
    QPainter& p;
    bool small;
    // `big` on the 32-pixel grid, `tiny` for the 16-pixel picture.
    qreal pick(qreal big, qreal tiny) const { return small ? tiny : big; }
};

const QColor Ink(0x2b, 0x2f, 0x36);
const QColor PaperLine(0x55, 0x5f, 0x6b);
const QColor Paper(0xff, 0xff, 0xff);
const QColor TextGrey(0x8c, 0x96, 0xa3);
const QColor Red(0xe0, 0x33, 0x2f);
const QColor RedDark(0x8e, 0x16, 0x16);
const QColor Green(0x2f, 0xa8, 0x3f);
const QColor GreenDark(0x17, 0x5c, 0x22);
const QColor Blue(0x26, 0x7c, 0xe0);
const QColor BlueDark(0x0e, 0x3d, 0x80);
const QColor Gold(0xf5, 0xbd, 0x14);
const QColor GoldDark(0x86, 0x5c, 0x00);
const QColor Orange(0xf5, 0x9b, 0x12);
const QColor Purple(0x8e, 0x3c, 0xc2);
const QColor PurpleDark(0x4a, 0x17, 0x6e);

void fillStroke(QPainter& p, const QPainterPath& path, const QColor& fill, const QColor& line, qreal width,
                Qt::PenJoinStyle join = Qt::RoundJoin) {
    p.setBrush(fill);
    if (width > 0)
        p.setPen(QPen(line, width, Qt::SolidLine, Qt::RoundCap, join));
    else
        p.setPen(Qt::NoPen);
    p.drawPath(path);
}

void line(QPainter& p, QPointF a, QPointF b, const QColor& color, qreal width,
          Qt::PenCapStyle cap = Qt::FlatCap) {
    p.setPen(QPen(color, width, Qt::SolidLine, cap, Qt::RoundJoin));
    p.drawLine(a, b);
}

QPainterPath rect(qreal x1, qreal y1, qreal x2, qreal y2, qreal radius = 0) {
    QPainterPath path;
    if (radius > 0)
        path.addRoundedRect(QRectF(QPointF(x1, y1), QPointF(x2, y2)), radius, radius);
    else
        path.addRect(QRectF(QPointF(x1, y1), QPointF(x2, y2)));
    return path;
}

QPainterPath circle(qreal cx, qreal cy, qreal r) {
    QPainterPath path;
    path.addEllipse(QPointF(cx, cy), r, r);
    return path;
}

QPainterPath polygon(std::initializer_list<QPointF> points) {
    QPainterPath path;
    bool first = true;
    for (const QPointF& point : points) {
        if (first)
            path.moveTo(point);
        else
            path.lineTo(point);
        first = false;
    }
    path.closeSubpath();
    return path;
}

// A text as outlines, centred on (cx, cy), `height` units tall (cap height of digits and capitals).
QPainterPath textPath(const QString& text, qreal cx, qreal cy, qreal height) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(100);
    QPainterPath path;
    path.addText(0, 0, font, text);
    const QRectF box = path.boundingRect();
    const qreal scale = height / box.height();
    QTransform t;
    t.translate(cx, cy);
    t.scale(scale, scale);
    t.translate(-box.center().x(), -box.center().y());
    return t.map(path);
}

// ---- Pieces used by several pictures ---------------------------------------------------------------

// A certificate: a landscape sheet with lines of text and a red seal with two ribbons at the lower right.
void certificate(Pen& g, bool seal = true) {
    QPainter& p = g.p;
    fillStroke(p, rect(3, 7, 29, 25), Paper, PaperLine, 2, Qt::MiterJoin);
    if (g.small) {
        line(p, {7, 13}, {25, 13}, TextGrey, 2);
        line(p, {7, 17}, {17, 17}, TextGrey, 2);
    } else {
        line(p, {7, 12}, {25, 12}, TextGrey, 2);
        line(p, {7, 16}, {19, 16}, TextGrey, 2);
        line(p, {7, 20}, {15, 20}, TextGrey, 2);
    }
    if (!seal) return;
    fillStroke(p, polygon({{19, 24}, {18, 31}, {21, 29}, {23, 31}, {23, 24}}), Red, RedDark, 1.2);
    fillStroke(p, polygon({{23, 24}, {23, 31}, {25, 29}, {28, 31}, {27, 24}}), Red, RedDark, 1.2);
    fillStroke(p, circle(23, g.pick(21, 21), g.pick(5, 5)), Red, RedDark, g.pick(1.5, 2));
    if (!g.small) fillStroke(p, circle(23, 21, 2.5), QColor(0xff, 0x9a, 0x8a), Qt::transparent, 0);
}

// A badge in the lower right corner: a disc with a white mark.
void badgeCross(Pen& g, qreal cx, qreal cy, qreal r) {
    QPainter& p = g.p;
    fillStroke(p, circle(cx, cy, r), Red, RedDark, g.pick(1.5, 2));
    const qreal d = r * 0.45;
    line(p, {cx - d, cy - d}, {cx + d, cy + d}, Qt::white, g.pick(2.5, 3), Qt::RoundCap);
    line(p, {cx - d, cy + d}, {cx + d, cy - d}, Qt::white, g.pick(2.5, 3), Qt::RoundCap);
}

void badgeWarning(Pen& g, qreal cx, qreal cy, qreal size) {
    QPainter& p = g.p;
    const qreal h = size * 0.9;
    fillStroke(p, polygon({{cx, cy - h / 2}, {cx + size / 2, cy + h / 2}, {cx - size / 2, cy + h / 2}}),
               Orange, QColor(0x7a, 0x3e, 0x00), g.pick(1.5, 2));
    line(p, {cx, cy - h / 2 + g.pick(4, 5)}, {cx, cy + h / 2 - g.pick(5, 5.5)}, Ink, g.pick(2.5, 2.6));
    fillStroke(p, circle(cx, cy + h / 2 - g.pick(2.6, 2.4), g.pick(1.4, 1.4)), Ink, Ink, 0);
}

// A key lying horizontally: its ring (outer radius r) centred on (cx, cy), the shaft `t` units thick
// reaching `length` units past the ring, two teeth below its end.
void key(Pen& g, qreal cx, qreal cy, qreal r, qreal length, qreal t) {
    QPainter& p = g.p;
    QPainterPath body;
    body.addEllipse(QPointF(cx, cy), r, r);
    const qreal x1 = cx + r + length;
    QPainterPath bar = rect(cx + r * 0.5, cy - t / 2, x1, cy + t / 2);
    bar.addRect(QRectF(QPointF(x1 - t, cy), QPointF(x1, cy + t * 1.5)));
    if (length >= 3 * t) bar.addRect(QRectF(QPointF(x1 - 2.5 * t, cy), QPointF(x1 - 1.5 * t, cy + t * 1.25)));
    body = body.united(bar);
    QPainterPath hole;
    hole.addEllipse(QPointF(cx - r * 0.15, cy), r * 0.42, r * 0.42);
    body = body.subtracted(hole);
    fillStroke(p, body, g.small ? QColor(0xe8, 0xa6, 0x00) : Gold, GoldDark, g.pick(1.5, 1.2), Qt::MiterJoin);
}

// A sheet standing upright with its upper right corner folded.
QPainterPath sheet(qreal x1, qreal y1, qreal x2, qreal y2, qreal fold) {
    return polygon({{x1, y1}, {x2 - fold, y1}, {x2, y1 + fold}, {x2, y2}, {x1, y2}});
}

QPainterPath gear(qreal cx, qreal cy, qreal outer, qreal inner, int teeth, qreal hole) {
    QPainterPath path;
    const int points = teeth * 4;
    for (int i = 0; i < points; ++i) {
        const qreal angle = (i - 0.5) * 2 * M_PI / points;
        const qreal r = (i % 4 == 0 || i % 4 == 1) ? outer : inner;
        const QPointF point(cx + r * std::cos(angle), cy + r * std::sin(angle));
        if (i == 0)
            path.moveTo(point);
        else
            path.lineTo(point);
    }
    path.closeSubpath();
    QPainterPath middle;
    middle.addEllipse(QPointF(cx, cy), hole, hole);
    return path.subtracted(middle);
}

// ---- The pictures --------------------------------------------------------------------------------------

// 128: the program. A blue shield with a white keyhole.
void drawApplication(Pen& g) {
    QPainter& p = g.p;
    QPainterPath shield;
    shield.moveTo(16, 1.5);
    shield.cubicTo(20, 4, 25, 5, 29, 5);
    shield.cubicTo(29.5, 17, 25, 25.5, 16, 30.5);
    shield.cubicTo(7, 25.5, 2.5, 17, 3, 5);
    shield.cubicTo(7, 5, 12, 4, 16, 1.5);
    QLinearGradient shade(0, 0, 32, 32);
    shade.setColorAt(0, QColor(0x3d, 0x92, 0xf0));
    shade.setColorAt(1, QColor(0x14, 0x4f, 0xb0));
    p.setBrush(shade);
    p.setPen(QPen(BlueDark, g.pick(1.5, 2), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(shield);
    if (!g.small) {
        // A light rim inside the edge.
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(255, 255, 255, 90), 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(QTransform().translate(16, 16).scale(0.84, 0.84).translate(-16, -16.5).map(shield));
    }
    // A white keyhole (drawn in two pieces: boolean operations on paths flatten the curves at this
    // grid's scale, which shows on the large icons).
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 12.5), g.pick(4.5, 5), g.pick(4.5, 5));
    p.drawPath(polygon({{14.5, 13}, {17.5, 13}, {19.5, 24}, {12.5, 24}}));
}

// 151: refresh. Two green arrows chasing each other round a circle.
void drawRefresh(Pen& g) {
    QPainter& p = g.p;
    const qreal r = g.pick(10, 10);
    const qreal w = g.pick(3.5, 4);
    const QRectF box(16 - r, 16 - r, 2 * r, 2 * r);
    auto arc = [&](qreal start) {
        QPainterPath path;
        path.arcMoveTo(box, start);
        path.arcTo(box, start, 130);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(GreenDark, w + 2, Qt::SolidLine, Qt::FlatCap));
        p.drawPath(path);
        p.setPen(QPen(Green, w, Qt::SolidLine, Qt::FlatCap));
        p.drawPath(path);
        // The arrowhead at the arc's end, pointing along the circle (counter-clockwise).
        const qreal end = (start + 130) * M_PI / 180;
        const QPointF tip(16 + r * std::cos(end), 16 - r * std::sin(end));
        const QPointF along(-std::sin(end), -std::cos(end));  // direction of travel
        const QPointF out(std::cos(end), -std::sin(end));
        const qreal a = g.pick(6.5, 7.5);
        fillStroke(p, polygon({tip + along * a * 0.9, tip + out * a * 0.8, tip - out * a * 0.8}), Green,
                   GreenDark, g.pick(1.2, 1.5), Qt::MiterJoin);
    };
    arc(20);
    arc(200);
}

// 152: properties. A small window with a blue title bar and two labelled fields.
void drawProperties(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, rect(3, 5, 29, 27), Paper, PaperLine, 2, Qt::MiterJoin);
    fillStroke(p, rect(3, 5, 29, 11), Blue, BlueDark, 2, Qt::MiterJoin);
    if (g.small) {
        line(p, {7, 17}, {11, 17}, TextGrey, 2);
        line(p, {15, 17}, {25, 17}, Ink, 2);
        line(p, {7, 22}, {11, 22}, TextGrey, 2);
        line(p, {15, 22}, {25, 22}, Ink, 2);
    } else {
        for (qreal y : {15.0, 21.0}) {
            line(p, {7, y + 1}, {11, y + 1}, TextGrey, 2);
            fillStroke(p, rect(14, y - 1, 25, y + 3), Paper, Ink, 1.5, Qt::MiterJoin);
        }
    }
}

// 153: a report. An upright sheet with a folded corner and lines of text, the first one a heading.
void drawReport(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, sheet(6, 3, 26, 29, 7), Paper, PaperLine, 2, Qt::MiterJoin);
    fillStroke(p, polygon({{19, 3}, {19, 10}, {26, 10}}), QColor(0xd5, 0xdb, 0xe2), PaperLine, 2,
               Qt::MiterJoin);
    line(p, {10, 9}, {16, 9}, Blue, 2);
    if (g.small) {
        line(p, {10, 15}, {22, 15}, TextGrey, 2);
        line(p, {10, 19}, {22, 19}, TextGrey, 2);
        line(p, {10, 23}, {18, 23}, TextGrey, 2);
    } else {
        for (qreal y : {14.0, 18.0, 22.0}) line(p, {10, y}, {22, y}, TextGrey, 2);
        line(p, {10, 26}, {17, 26}, TextGrey, 2);
    }
}

// 154: help. A white question mark on a blue disc.
void drawHelp(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, circle(16, 16, g.pick(13.5, 13.5)), Blue, BlueDark, g.pick(1.5, 2));
    fillStroke(p, textPath(QStringLiteral("?"), 16, 16.5, g.pick(17, 18)), Qt::white, Qt::white, 0);
}

// 155: a certificate.
void drawCertificate(Pen& g) {
    certificate(g);
}

// 156: the authority's root certificates (also the program's "about"). A golden rosette with a white
// check mark and two blue ribbons.
void drawRootCheck(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, polygon({{10, 18}, {7, 30}, {11, 28}, {13.5, 31}, {16, 20}}), Blue, BlueDark, 1.2);
    fillStroke(p, polygon({{22, 18}, {25, 30}, {21, 28}, {18.5, 31}, {16, 20}}), Blue, BlueDark, 1.2);
    fillStroke(p, gear(16, 13, 12, 10, 12, 0), Gold, GoldDark, g.pick(1.5, 2), Qt::MiterJoin);
    QPainterPath check;
    check.moveTo(10.5, 13);
    check.lineTo(14.5, 17);
    check.lineTo(21.5, 9);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, g.pick(3.2, 4), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(check);
}

// 157: a certificate with its private key: the key in the seal's place.
void drawCertificateWithKey(Pen& g) {
    certificate(g, false);
    key(g, g.pick(17, 16), 23, g.pick(5.5, 6), g.pick(7, 6), g.pick(3, 4));
}

// 158: a certificate that is not valid.
void drawInvalidCertificate(Pen& g) {
    certificate(g, false);
    badgeCross(g, 23, 23, g.pick(7.5, 8));
}

// A list of revoked certificates: an upright sheet with a red heading band and lines, each with a
// red bullet.
void crl(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, rect(5, 3, 27, 29), Paper, PaperLine, 2, Qt::MiterJoin);
    fillStroke(p, rect(5, 3, 27, 9), Red, RedDark, 2, Qt::MiterJoin);
    const std::initializer_list<qreal> rows =
        g.small ? std::initializer_list<qreal>{15, 21} : std::initializer_list<qreal>{14, 19, 24};
    for (qreal y : rows) {
        fillStroke(p, rect(8, y - 1.5, 11, y + 1.5), Red, Red, 0);
        line(p, {14, y}, {24, y}, TextGrey, 2);
    }
}

// 159: a certificate revocation list.
void drawCrl(Pen& g) {
    crl(g);
}

// 160: a revocation list not yet valid or expired.
void drawCrlInvalid(Pen& g) {
    crl(g);
    badgeWarning(g, 23, 23, g.pick(16, 17));
}

// 161: save to a file. A floppy disk.
void drawSave(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, polygon({{3, 3}, {25, 3}, {29, 7}, {29, 29}, {3, 29}}), Blue, BlueDark, 2, Qt::MiterJoin);
    fillStroke(p, rect(9, 3, 23, 11), QColor(0xd8, 0xdd, 0xe3), BlueDark, 2, Qt::MiterJoin);
    fillStroke(p, rect(18, 5, 21, 9), BlueDark, BlueDark, 0);
    fillStroke(p, rect(7, 17, 25, 29), Paper, BlueDark, 2, Qt::MiterJoin);
    if (!g.small) {
        line(p, {10, 21}, {22, 21}, TextGrey, 1.5);
        line(p, {10, 25}, {22, 25}, TextGrey, 1.5);
    }
}

// 162: load from a file. An open yellow folder.
void drawOpen(Pen& g) {
    QPainter& p = g.p;
    const QColor back(0xe0, 0xa0, 0x10);
    const QColor front(0xff, 0xd3, 0x4d);
    const QColor edge(0x7a, 0x52, 0x00);
    fillStroke(p, polygon({{3, 7}, {11, 7}, {14, 10}, {25, 10}, {25, 27}, {3, 27}}), back, edge, 2,
               Qt::MiterJoin);
    fillStroke(p, sheet(8, 5, 23, 20, 0), Paper, PaperLine, 1.5, Qt::MiterJoin);
    fillStroke(p, polygon({{3, 27}, {8, 15}, {30, 15}, {25, 27}}), front, edge, 2, Qt::MiterJoin);
}

// 163: a padlock.
void drawPadlock(Pen& g) {
    QPainter& p = g.p;
    QPainterPath shackle;
    shackle.moveTo(10, 15);
    shackle.lineTo(10, 10);
    shackle.arcTo(QRectF(10, 4, 12, 12), 180, -180);
    shackle.lineTo(22, 15);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(PaperLine, g.pick(5, 5.5), Qt::SolidLine, Qt::FlatCap));
    p.drawPath(shackle);
    p.setPen(QPen(QColor(0xc4, 0xcb, 0xd3), g.pick(2.5, 2), Qt::SolidLine, Qt::FlatCap));
    if (!g.small) p.drawPath(shackle);
    fillStroke(p, rect(5, 14, 27, 29, 2), Gold, GoldDark, 2, Qt::MiterJoin);
    fillStroke(p, circle(16, 20, 2.5), GoldDark, GoldDark, 0);
    line(p, {16, 21}, {16, 25}, GoldDark, 2.5);
}

// 164: a certificate store. A filing box with a label and certificates standing in it.
void drawStore(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, rect(7, 3, 25, 15), Paper, PaperLine, 2, Qt::MiterJoin);
    fillStroke(p, circle(21, 10, g.pick(3, 3)), Red, RedDark, g.pick(1.2, 0));
    fillStroke(p, rect(3, 13, 29, 29), QColor(0xc9, 0x8b, 0x4a), QColor(0x5e, 0x36, 0x0c), 2, Qt::MiterJoin);
    fillStroke(p, rect(11, 18, 21, 23), QColor(0xf3, 0xe3, 0xc8), QColor(0x5e, 0x36, 0x0c), g.pick(1.5, 2),
               Qt::MiterJoin);
}

// 165: a globe.
void drawGlobe(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, circle(16, 16, 13), QColor(0x4f, 0xb3, 0xe8), BlueDark, g.pick(1.5, 2));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(BlueDark, g.pick(1.5, 2)));
    p.drawEllipse(QPointF(16, 16), 6, 13);
    p.drawLine(QPointF(16, 3), QPointF(16, 29));
    p.drawLine(QPointF(3, 16), QPointF(29, 16));
    if (!g.small) {
        p.drawLine(QPointF(5, 10), QPointF(27, 10));
        p.drawLine(QPointF(5, 22), QPointF(27, 22));
    }
}

// 166: object identifiers. A small tree: a root node branching into three.
void drawOids(Pen& g) {
    QPainter& p = g.p;
    const qreal w = g.pick(2, 2);
    const QColor branch(0xa8, 0x6a, 0xd6);
    line(p, {16, 8}, {16, 24}, branch, w);
    line(p, {5, 15}, {27, 15}, branch, w);
    line(p, {6, 15}, {6, 24}, branch, w);
    line(p, {26, 15}, {26, 24}, branch, w);
    const qreal r = g.pick(4.5, 5);
    fillStroke(p, circle(16, 7, r), Purple, PurpleDark, g.pick(1.5, 2));
    for (qreal x : {6.0, 16.0, 26.0})
        fillStroke(p, circle(x, 25, g.pick(4, 4.5)), Purple, PurpleDark, g.pick(1.5, 2));
}

// 167: delete. A waste bin.
void drawDelete(Pen& g) {
    QPainter& p = g.p;
    const QColor body(0xa3, 0xad, 0xb8);
    const QColor edge(0x4a, 0x53, 0x5e);
    fillStroke(p, rect(12, 3, 20, 8), Qt::transparent, body, 2, Qt::MiterJoin);
    fillStroke(p, polygon({{7, 9}, {25, 9}, {23, 29}, {9, 29}}), body, edge, 2, Qt::MiterJoin);
    fillStroke(p, rect(4, 7, 28, 10), QColor(0x6d, 0x78, 0x85), edge, 2, Qt::MiterJoin);
    for (qreal x : {13.0, 19.0}) line(p, {x, 13}, {x, 25}, edge, 2);
    if (!g.small) line(p, {16, 13}, {16, 25}, edge, 2);
}

// 168: install a certificate from a key container. A key above, a green arrow down to a certificate.
void drawInstallFromContainer(Pen& g) {
    QPainter& p = g.p;
    p.save();
    p.translate(0, 4);
    certificate(g);
    p.restore();
    key(g, 6, 6, g.pick(5, 6), g.pick(5, 6), g.pick(3, 4));
    // A green arrow pointing down onto the sheet.
    fillStroke(p, polygon({{22, 1}, {28, 1}, {28, 7}, {31, 7}, {25, 13}, {19, 7}, {22, 7}}), Green, GreenDark,
               g.pick(1.5, 1.5), Qt::MiterJoin);
}

// 169: the current user. A person's head and shoulders.
void drawUser(Pen& g) {
    QPainter& p = g.p;
    QPainterPath shoulders;
    shoulders.moveTo(4, 29);
    shoulders.cubicTo(4, 20, 9, 17.5, 16, 17.5);
    shoulders.cubicTo(23, 17.5, 28, 20, 28, 29);
    shoulders.closeSubpath();
    fillStroke(p, shoulders, Blue, BlueDark, g.pick(1.5, 2));
    fillStroke(p, circle(16, 10, g.pick(6.5, 7)), QColor(0xf6, 0xc9, 0x9f), QColor(0x7a, 0x4a, 0x24),
               g.pick(1.5, 2));
}

// 170: the computer. A monitor on its stand.
void drawComputer(Pen& g) {
    QPainter& p = g.p;
    fillStroke(p, polygon({{13, 22}, {19, 22}, {20, 27}, {12, 27}}), QColor(0x8a, 0x94, 0xa0), Ink, 1.5);
    fillStroke(p, rect(7, 26, 25, 29), QColor(0x8a, 0x94, 0xa0), Ink, 2, Qt::MiterJoin);
    fillStroke(p, rect(3, 5, 29, 23, 1), QColor(0x6b, 0x75, 0x80), Ink, 2);
    QLinearGradient screen(0, 7, 0, 21);
    screen.setColorAt(0, QColor(0x7e, 0xc8, 0xff));
    screen.setColorAt(1, QColor(0x26, 0x7c, 0xe0));
    p.setBrush(screen);
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(QPointF(6, 8), QPointF(26, 20)));
}

// 171: a key container. A golden key.
void drawKeyContainer(Pen& g) {
    if (g.small) {
        key(g, 8, 14, 7, 14, 4);
        return;
    }
    QPainter& p = g.p;
    p.save();
    p.translate(16, 16);
    p.rotate(-40);
    p.translate(-16, -16);
    key(g, 6, 16, 6.5, 15, 4);
    p.restore();
}

// 172: the crypto system's test. A yellow gear.
void drawTest(Pen& g) {
    fillStroke(g.p, gear(16, 16, 14, g.pick(10.5, 10), g.small ? 8 : 10, g.pick(4.5, 5)), Gold, GoldDark,
               g.pick(1.5, 2), Qt::MiterJoin);
}

// 173: passed. A green check mark.
void drawPassed(Pen& g) {
    QPainter& p = g.p;
    QPainterPath check;
    check.moveTo(5, 16.5);
    check.lineTo(12.5, 24);
    check.lineTo(27, 8);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(GreenDark, g.pick(8, 9), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(check);
    p.setPen(QPen(Green, g.pick(5, 5), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(check);
}

// 174: failed. A red cross.
void drawFailed(Pen& g) {
    QPainter& p = g.p;
    for (const QColor& color : {RedDark, Red}) {
        const qreal w = color == RedDark ? g.pick(8, 9) : 5;
        line(p, {7, 7}, {25, 25}, color, w, Qt::RoundCap);
        line(p, {7, 25}, {25, 7}, color, w, Qt::RoundCap);
    }
}

// 184: settings. Three sliders.
void drawSettings(Pen& g) {
    QPainter& p = g.p;
    const qreal rows[] = {7, 16, 25};
    const qreal knobs[] = {21, 10, 18};
    for (int i = 0; i < 3; ++i) {
        line(p, {3, rows[i]}, {29, rows[i]}, QColor(0x8c, 0x96, 0xa3), g.pick(2, 2));
        fillStroke(p, rect(knobs[i] - 3, rows[i] - 4, knobs[i] + 3, rows[i] + 4, 1), Blue, BlueDark,
                   g.pick(1.5, 2), Qt::MiterJoin);
    }
}

const std::map<int, void (*)(Pen&)>& pictures() {
    static const std::map<int, void (*)(Pen&)> all = {
        {128, drawApplication},
        {151, drawRefresh},
        {152, drawProperties},
        {153, drawReport},
        {154, drawHelp},
        {155, drawCertificate},
        {156, drawRootCheck},
        {157, drawCertificateWithKey},
        {158, drawInvalidCertificate},
        {159, drawCrl},
        {160, drawCrlInvalid},
        {161, drawSave},
        {162, drawOpen},
        {163, drawPadlock},
        {164, drawStore},
        {165, drawGlobe},
        {166, drawOids},
        {167, drawDelete},
        {168, drawInstallFromContainer},
        {169, drawUser},
        {170, drawComputer},
        {171, drawKeyContainer},
        {172, drawTest},
        {173, drawPassed},
        {174, drawFailed},
        {184, drawSettings},
    };
    return all;
}

QImage render(int id, int size, bool small) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);
    Pen g{painter, small};
    pictures().at(id)(g);
    painter.end();
    return image;
}

bool save(const QImage& image, const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

int writeAll(const QString& resDir) {
    bool ok = true;
    for (const auto& [id, draw] : pictures()) {
        const QString base = resDir + QStringLiteral("/icons/") + QString::number(id);
        ok = save(render(id, 32, false), base + QStringLiteral(".png")) && ok;
        ok = save(render(id, 16, true), base + QStringLiteral("-16.png")) && ok;
        ok = save(render(id, 20, true), base + QStringLiteral("-20.png")) && ok;
    }
    for (int size : {48, 256})
        ok = save(render(128, size, false),
                  resDir + QStringLiteral("/hicolor/%1x%1/apps/kestrovan.png").arg(size)) &&
             ok;
    return ok ? 0 : 1;
}

// Every icon as the program loads it, at 16, 20 and 32 pixels, on a light and a dark background, in
// two blocks side by side.
int writeSheet(const QString& resDir, const QString& out, const QList<int>& sizes, int zoom, int first,
               int last) {
    const QColor backgrounds[] = {QColor(0xf0, 0xf0, 0xf0), QColor(0x30, 0x33, 0x38)};
    const int cell = *std::max_element(sizes.begin(), sizes.end()) + 6;
    const int label = 30;
    const int blockWidth = label + 2 * static_cast<int>(sizes.size()) * cell + 8;
    int count = 0;
    for (const auto& [id, draw] : pictures()) count += id >= first && id <= last;
    const int blocks = count > 10 ? 2 : 1;
    const int rows = (count + blocks - 1) / blocks;
    QImage sheet(blocks * blockWidth, rows * cell, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    QFont font = p.font();
    font.setPixelSize(10);
    p.setFont(font);
    int index = 0;
    for (const auto& [id, draw] : pictures()) {
        if (id < first || id > last) continue;
        const int x0 = (index / rows) * blockWidth;
        const int y0 = (index % rows) * cell;
        const QString base = resDir + QStringLiteral("/icons/") + QString::number(id);
        QIcon icon(base + QStringLiteral(".png"));
        for (const char* variant : {"-16.png", "-20.png"})
            if (QFile::exists(base + QLatin1String(variant))) icon.addFile(base + QLatin1String(variant));
        p.setPen(Qt::black);
        p.drawText(QRect(x0, y0, label, cell), Qt::AlignCenter, QString::number(id));
        int column = 0;
        for (const QColor& background : backgrounds)
            for (int size : sizes) {
                const QRect box(x0 + label + column * cell, y0, cell, cell);
                p.fillRect(box, background);
                p.drawPixmap(box.x() + (cell - size) / 2, box.y() + (cell - size) / 2,
                             icon.pixmap(size, size));
                ++column;
            }
        ++index;
    }
    p.end();
    return save(sheet.scaled(sheet.size() * zoom), out) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args[1] == QStringLiteral("--sheet")) {
        QList<int> sizes{16, 20, 32};
        if (args.size() >= 5) {
            sizes.clear();
            for (const QString& size : args[4].split(u',')) sizes.append(size.toInt());
        }
        const QStringList ids = args.size() >= 7 ? args[6].split(u'-') : QStringList{};
        return writeSheet(args[2], args[3], sizes, args.size() >= 6 ? args[5].toInt() : 3,
                          ids.size() == 2 ? ids[0].toInt() : 0, ids.size() == 2 ? ids[1].toInt() : 999);
    }
    if (args.size() == 2) return writeAll(args[1]);
    std::fprintf(stderr,
                 "usage: drawIcons <app/res folder> | drawIcons --sheet <app/res folder> <out.png> [sizes "
                 "[zoom [ids]]]\n");
    return 2;
}
