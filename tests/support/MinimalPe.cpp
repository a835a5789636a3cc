#include "MinimalPe.h"

#include <QFile>
#include <QtEndian>

namespace {

constexpr int fileAlignment = 0x200;
constexpr int sectionAlignment = 0x1000;
constexpr int peHeaderOffset = 0x40;

class Writer
{
public:
    explicit Writer(QByteArray& target) : bytes(target) {}
    void u8(quint8 v) { bytes.append(char(v)); }
    void u16(quint16 v) { put(qToLittleEndian(v)); }
    void u32(quint32 v) { put(qToLittleEndian(v)); }
    void raw(const QByteArray& data) { bytes.append(data); }
    void padTo(int size) { bytes.append(size - bytes.size(), '\0'); }

private:
    template <typename T> void put(T v) { bytes.append(reinterpret_cast<const char*>(&v), sizeof v); }
    QByteArray& bytes;
};

} // namespace

QByteArray MinimalPe::image()
{
    QByteArray bytes;
    Writer w(bytes);

    // DOS header: only the magic and the offset of the PE header matter.
    w.raw("MZ");
    w.padTo(0x3c);
    w.u32(peHeaderOffset);
    w.padTo(peHeaderOffset);

    w.raw(QByteArray("PE\0\0", 4));
    // COFF file header
    w.u16(0x014c);   // i386
    w.u16(1);        // sections
    w.u32(0);        // time stamp
    w.u32(0);        // symbol table
    w.u32(0);        // symbols
    w.u16(0xe0);     // size of the optional header (PE32, 16 data directories)
    w.u16(0x0102);   // executable image, 32-bit machine

    // PE32 optional header
    w.u16(0x010b);
    w.u8(1);
    w.u8(0);                      // linker version
    w.u32(fileAlignment);         // size of code
    w.u32(0);                     // initialised data
    w.u32(0);                     // uninitialised data
    w.u32(sectionAlignment);      // entry point
    w.u32(sectionAlignment);      // base of code
    w.u32(2 * sectionAlignment);  // base of data
    w.u32(0x00400000);            // image base
    w.u32(sectionAlignment);
    w.u32(fileAlignment);
    w.u16(4);
    w.u16(0);                     // operating system version
    w.u16(0);
    w.u16(0);                     // image version
    w.u16(4);
    w.u16(0);                     // subsystem version
    w.u32(0);                     // Win32 version value
    w.u32(2 * sectionAlignment);  // size of image
    w.u32(fileAlignment);         // size of headers
    w.u32(0);                     // checksum
    w.u16(3);                     // console subsystem
    w.u16(0);                     // DLL characteristics
    w.u32(0x00100000);
    w.u32(0x1000);                // stack reserve, commit
    w.u32(0x00100000);
    w.u32(0x1000);                // heap reserve, commit
    w.u32(0);                     // loader flags
    w.u32(16);                    // data directories, all empty (index 4 receives the signature)
    for (int i = 0; i < 16; ++i) {
        w.u32(0);
        w.u32(0);
    }

    // The one section header
    w.raw(QByteArray(".text\0\0\0", 8));
    w.u32(3);                     // virtual size: the code below
    w.u32(sectionAlignment);      // virtual address
    w.u32(fileAlignment);         // size of raw data
    w.u32(fileAlignment);         // pointer to raw data
    w.u32(0);
    w.u32(0);                     // relocations, line numbers
    w.u16(0);
    w.u16(0);
    w.u32(0x60000020);            // code, executable, readable
    w.padTo(fileAlignment);

    // xor eax, eax; ret
    w.raw(QByteArray("\x31\xc0\xc3", 3));
    w.padTo(2 * fileAlignment);
    return bytes;
}

bool MinimalPe::write(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray data = image();
    return file.write(data) == data.size() && file.flush();
}
