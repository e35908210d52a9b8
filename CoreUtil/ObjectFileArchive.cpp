#include "ObjectFileArchive.h"

#include <tinyxml.h>

ObjectFileArchive::ObjectFileArchive(const RhPath* pathIn) : ObjectArchive(nullptr) {
    if (pathIn) filePath = *pathIn;
}

ObjectFileArchive::~ObjectFileArchive() = default;

int ObjectFileArchive::openForWrite(ObjectCursor* cursor) {
    path = filePath;
    return ObjectArchive::openForWrite(cursor);
}

int ObjectFileArchive::openForRead(ObjectCursor* cursor) {
    if (!cursor) return 0;
    makeDocument("doc");
    if (!loadDocumentFromFile(doc, filePath.getText())) return 0;
    placeCursorOnDocument(cursor);
    return 1;
}
