// Draws Pellix's icon and writes it as one .ico with six images (16, 32 and
// 48 pixels, each in 16 and in 256 colours) and as 16, 32 and 48 pixel PNGs.
// Usage: mkicon <output directory>
// The output depends on nothing but this file, so every build makes the same bytes.

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>

#include <climits>
#include <cstdio>
#include <vector>

namespace {

QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, size >= 32);
    const double s = size / 48.0;

    // A dark blue rounded square: the transcript.
    QPainterPath body;
    body.addRoundedRect(QRectF(1 * s, 1 * s, 46 * s, 46 * s), 7 * s, 7 * s);
    p.fillPath(body, QColor(0x1f, 0x3a, 0x68));

    // A white prompt ">" and a cyan "_": text going out and coming in.
    QPen pen(Qt::white, qMax(1.0, 5 * s), Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    p.setPen(pen);
    p.drawPolyline(QPolygonF({QPointF(11 * s, 13 * s), QPointF(23 * s, 24 * s),
                              QPointF(11 * s, 35 * s)}));
    pen.setColor(QColor(0x00, 0xe0, 0xe0));
    p.setPen(pen);
    p.drawLine(QPointF(26 * s, 35 * s), QPointF(38 * s, 35 * s));
    p.end();
    return image;
}

using Palette = std::vector<QRgb>;

Palette palette16()
{
    return {0xff000000, 0xff800000, 0xff008000, 0xff808000, 0xff000080, 0xff800080,
            0xff008080, 0xffc0c0c0, 0xff808080, 0xffff0000, 0xff00ff00, 0xffffff00,
            0xff0000ff, 0xffff00ff, 0xff00ffff, 0xffffffff};
}

Palette palette256()
{
    Palette colours = palette16();
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                colours.push_back(qRgb(r * 51, g * 51, b * 51));
    while (colours.size() < 256) {
        const int grey = int(colours.size() - 232) * 10 + 8;
        colours.push_back(qRgb(grey, grey, grey));
    }
    return colours;
}

int nearest(const Palette& colours, QRgb c)
{
    int best = 0;
    int bestDistance = INT_MAX;
    for (int i = 0; i < int(colours.size()); ++i) {
        const int dr = qRed(c) - qRed(colours[i]);
        const int dg = qGreen(c) - qGreen(colours[i]);
        const int db = qBlue(c) - qBlue(colours[i]);
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

template <typename T>
void putLittleEndian(QByteArray& out, T value)
{
    const T le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), sizeof le);
}
void put16(QByteArray& out, quint16 v) { putLittleEndian(out, v); }
void put32(QByteArray& out, quint32 v) { putLittleEndian(out, v); }

// One icon image: a bitmap header, the palette, the colour indices and the
// transparency mask, rows bottom-up, each padded to 4 bytes.
QByteArray encodeImage(const QImage& image, int bitsPerPixel)
{
    const Palette colours = bitsPerPixel == 4 ? palette16() : palette256();
    const int size = image.width();
    const int colourRow = ((size * bitsPerPixel + 31) / 32) * 4;
    const int maskRow = ((size + 31) / 32) * 4;

    QByteArray out;
    put32(out, 40);
    put32(out, quint32(size));
    put32(out, quint32(size * 2)); // colour rows and mask rows
    put16(out, 1);
    put16(out, quint16(bitsPerPixel));
    put32(out, 0);
    put32(out, quint32((colourRow + maskRow) * size));
    put32(out, 0);
    put32(out, 0);
    put32(out, quint32(colours.size()));
    put32(out, 0);
    for (QRgb c : colours) {
        out.append(char(qBlue(c)));
        out.append(char(qGreen(c)));
        out.append(char(qRed(c)));
        out.append(char(0));
    }

    QByteArray pixels(colourRow * size, 0);
    QByteArray mask(maskRow * size, 0);
    for (int y = 0; y < size; ++y) {
        const int row = size - 1 - y;
        for (int x = 0; x < size; ++x) {
            const QRgb c = image.pixel(x, y);
            const bool transparent = qAlpha(c) < 128;
            const int index = transparent ? 0 : nearest(colours, c);
            if (bitsPerPixel == 8) {
                pixels[row * colourRow + x] = char(index);
            } else {
                char& b = pixels[row * colourRow + x / 2];
                b = char(b | (x % 2 ? index : index << 4));
            }
            if (transparent) {
                char& m = mask[row * maskRow + x / 8];
                m = char(m | (0x80 >> (x % 8)));
            }
        }
    }
    return out + pixels + mask;
}

QByteArray encodeIco(const std::vector<std::pair<QImage, int>>& images)
{
    QByteArray header;
    put16(header, 0);
    put16(header, 1);
    put16(header, quint16(images.size()));

    QByteArray data;
    quint32 offset = quint32(6 + 16 * images.size());
    for (const auto& [image, bits] : images) {
        const QByteArray encoded = encodeImage(image, bits);
        header.append(char(image.width()));
        header.append(char(image.height()));
        header.append(char(bits == 4 ? 16 : 0));
        header.append(char(0));
        put16(header, 1);
        put16(header, quint16(bits));
        put32(header, quint32(encoded.size()));
        put32(header, offset);
        offset += quint32(encoded.size());
        data += encoded;
    }
    return header + data;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkicon <output directory>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    std::vector<std::pair<QImage, int>> images;
    for (int size : {16, 32, 48}) {
        const QImage image = drawIcon(size);
        images.emplace_back(image, 4);
        images.emplace_back(image, 8);
        if (!image.save(out.filePath(QStringLiteral("pellix-%1.png").arg(size)), "PNG"))
            return 1;
    }
    return writeFile(out.filePath(QStringLiteral("pellix.ico")), encodeIco(images)) ? 0 : 1;
}
