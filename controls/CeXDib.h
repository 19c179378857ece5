// A small device-independent bitmap of 1, 4 or 8 bits per pixel with its
// palette: rows bottom-up, each padded to a multiple of 4 bytes. The shaded
// buttons build their background pictures from it.
#pragma once

#include <QColor>
#include <QImage>
#include <cstdint>
#include <vector>

class QPainter;

class CCeXDib {
  public:
    CCeXDib() = default;

    // Allocates a zeroed picture with a black palette. Returns false (and
    // holds nothing) for a size of 0 or less, a depth other than 1, 4 or 8,
    // or a picture too large to address.
    bool Create(int width, int height, int bitsPerPixel = 8);
    void Clear();
    bool IsValid() const { return !m_bits.empty(); }

    int GetWidth() const { return m_width; }
    int GetHeight() const { return m_height; }
    int GetBitCount() const { return m_bpp; }
    int GetNumColors() const { return static_cast<int>(m_palette.size()); }
    // Bytes per stored row: ((width * bits + 31) / 32) * 4.
    int GetLineWidth() const { return m_lineWidth; }

    // Palette entry i; out-of-range indexes are ignored / give black.
    void SetPaletteIndex(int i, QColor colour);
    QColor GetPaletteIndex(int i) const;
    // Moves every entry perc percent towards colour (clamped to 0..100).
    void BlendPalette(QColor colour, int perc);

    // Pixel of stored row y (0 = bottom row); outside the picture ignored / 0.
    void SetPixelIndex(int x, int y, uint8_t index);
    uint8_t GetPixelIndex(int x, int y) const;

    // Copies picture and palette from src.
    void Clone(const CCeXDib& src);

    // Draws the picture with its top-left corner at (x, y).
    void Draw(QPainter* painter, int x, int y) const;
    // The picture as an indexed image (cached until the next change).
    QImage ToImage() const;

  private:
    int m_width = 0;
    int m_height = 0;
    int m_bpp = 0;
    int m_lineWidth = 0;
    std::vector<QRgb> m_palette;
    std::vector<uint8_t> m_bits;
    mutable QImage m_cache;
};
