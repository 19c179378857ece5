#include "controls/CeXDib.h"

#include <QPainter>
#include <algorithm>

bool CCeXDib::Create(int width, int height, int bitsPerPixel) {
    Clear();
    if (width <= 0 || height <= 0 || (bitsPerPixel != 1 && bitsPerPixel != 4 && bitsPerPixel != 8))
        return false;
    if (width > 32767 || height > 32767)
        return false;
    m_width = width;
    m_height = height;
    m_bpp = bitsPerPixel;
    m_lineWidth = ((width * bitsPerPixel + 31) / 32) * 4;
    m_palette.assign(static_cast<size_t>(1) << bitsPerPixel, qRgb(0, 0, 0));
    m_bits.assign(static_cast<size_t>(m_lineWidth) * height, 0);
    return true;
}

void CCeXDib::Clear() {
    m_width = m_height = m_bpp = m_lineWidth = 0;
    m_palette.clear();
    m_bits.clear();
    m_cache = QImage();
}

void CCeXDib::SetPaletteIndex(int i, QColor colour) {
    if (i < 0 || i >= GetNumColors())
        return;
    m_palette[i] = colour.rgb();
    m_cache = QImage();
}

QColor CCeXDib::GetPaletteIndex(int i) const {
    if (i < 0 || i >= GetNumColors())
        return QColor(0, 0, 0);
    return QColor(m_palette[i]);
}

void CCeXDib::BlendPalette(QColor colour, int perc) {
    perc = std::clamp(perc, 0, 100);
    int r = colour.red(), g = colour.green(), b = colour.blue();
    for (QRgb& e : m_palette) {
        e = qRgb((perc * r + (100 - perc) * qRed(e)) / 100,
                 (perc * g + (100 - perc) * qGreen(e)) / 100,
                 (perc * b + (100 - perc) * qBlue(e)) / 100);
    }
    m_cache = QImage();
}

void CCeXDib::SetPixelIndex(int x, int y, uint8_t index) {
    if (!IsValid() || x < 0 || y < 0 || x >= m_width || y >= m_height)
        return;
    size_t row = static_cast<size_t>(y) * m_lineWidth;
    if (m_bpp == 8) {
        m_bits[row + x] = index;
    } else if (m_bpp == 4) {
        uint8_t& byte = m_bits[row + x / 2];
        int shift = (x % 2) ? 0 : 4;
        byte = static_cast<uint8_t>((byte & ~(0x0F << shift)) | ((index & 0x0F) << shift));
    } else {
        uint8_t& byte = m_bits[row + x / 8];
        int shift = 7 - x % 8;
        byte = static_cast<uint8_t>((byte & ~(1 << shift)) | ((index & 1) << shift));
    }
    m_cache = QImage();
}

uint8_t CCeXDib::GetPixelIndex(int x, int y) const {
    if (!IsValid() || x < 0 || y < 0 || x >= m_width || y >= m_height)
        return 0;
    size_t row = static_cast<size_t>(y) * m_lineWidth;
    if (m_bpp == 8)
        return m_bits[row + x];
    if (m_bpp == 4)
        return (m_bits[row + x / 2] >> ((x % 2) ? 0 : 4)) & 0x0F;
    return (m_bits[row + x / 8] >> (7 - x % 8)) & 1;
}

void CCeXDib::Clone(const CCeXDib& src) {
    if (&src == this)
        return;
    m_width = src.m_width;
    m_height = src.m_height;
    m_bpp = src.m_bpp;
    m_lineWidth = src.m_lineWidth;
    m_palette = src.m_palette;
    m_bits = src.m_bits;
    m_cache = QImage();
}

QImage CCeXDib::ToImage() const {
    if (!IsValid())
        return QImage();
    if (m_cache.isNull()) {
        QImage img(m_width, m_height, QImage::Format_Indexed8);
        img.setColorTable(QList<QRgb>(m_palette.begin(), m_palette.end()));
        for (int y = 0; y < m_height; ++y) {
            // Stored rows run bottom-up.
            uchar* line = img.scanLine(m_height - 1 - y);
            for (int x = 0; x < m_width; ++x)
                line[x] = GetPixelIndex(x, y);
        }
        m_cache = img;
    }
    return m_cache;
}

void CCeXDib::Draw(QPainter* painter, int x, int y) const {
    if (!painter || !IsValid())
        return;
    painter->drawImage(QPoint(x, y), ToImage());
}
