// Attribute readers on whatever a configuration file may hold: every attribute of every element
// goes through every reader (the values of a driver's XML configuration come from outside).
#include <cstddef>
#include <cstdint>

#include "xmlattrib.h"

namespace {

void StartElement(void*, const XML_Char*, const XML_Char** attributes) {
    for (int i = 0; attributes[i] != nullptr; i += 2) {
        const char* name = attributes[i];
        int integer = 0;
        float real = 0;
        double precise = 0;
        int values[4];
        XmlAttrInt(attributes, name, &integer);
        XmlAttrIntBounded(attributes, name, 1, 30);
        XmlAttrPercent(attributes, name, &real);
        XmlAttrFloat(attributes, name, &real);
        XmlAttrDouble(attributes, name, &precise);
        XmlAttrBool(attributes, name, &integer);
        XmlAttrTime(attributes, name, &integer);
        XmlAttrIntList(attributes, name, values, 4);
    }
}

void EndElement(void*, const XML_Char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XML_Parser parser = XML_ParserCreate("ISO-8859-1");
    XML_SetElementHandler(parser, StartElement, EndElement);
    XML_Parse(parser, reinterpret_cast<const char*>(data), static_cast<int>(size), 1);
    XML_ParserFree(parser);
    return 0;
}
