#ifndef FORMATSIZE_H
#define FORMATSIZE_H

#include <QString>

// Byte count as the short size text both transfer views show, such as "1.50KB".
QString formatSize(qint64 bytes);

#endif // FORMATSIZE_H
