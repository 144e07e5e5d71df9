# cmake -DIN=file -DOUT=file.cpp -DNAMESPACE=ns -DFUNCTION=name -P EmbedText.cmake
# Writes a source file whose function answers the text of IN, so a program
# carries a copy of a resource it normally reads from its bundle.
file(READ ${IN} content)
file(WRITE ${OUT} "// Generated from ${IN}; edit that file instead.\n#include <string_view>\n\nnamespace ${NAMESPACE} {\n\nstd::string_view ${FUNCTION}() {\n    static constexpr std::string_view kText = R\"embedded(${content})embedded\";\n    return kText;\n}\n\n}  // namespace ${NAMESPACE}\n")
