#pragma once
// The words drawn in the secondary windows' pictures. The picture generator draws them
// into the pictures and the windows offer them to screen readers as the pictures' text,
// both from here, so the words read and the words seen are the same.
namespace kv::picture_text {

// The help window's contact sheet, from top to bottom.
inline constexpr const char* helpIntro =
    "Ante cualquier duda o problema,\ncomuníquese con nosotros por\ncualquiera de estas vías:";
inline constexpr const char* helpPhone = "* Teléfono: +1 202 555 0147";
inline constexpr const char* helpMail = "* Correo: ayuda@tramonte.example";
inline constexpr const char* helpPostal =
    "Tramonte c.a.\nApartado postal 1234\nVilla Ficticia\nRepública Ejemplar";
inline constexpr const char* helpSchool =
    "Escuela de Imagen\nDigital Ejemplar\nAv. Principal 100\nEdificio Central\nPiso 2\nVilla Ficticia";
inline constexpr const char* helpYear = "1999";
inline constexpr const char* helpSheet[] = {helpIntro, helpPhone, helpMail, helpPostal, helpSchool, helpYear};

// The company window's thank-you message, line by line.
inline constexpr const char* thanks[] = {"Gracias por su continuo apoyo.", "Seguiremos trabajando para",
                                         "ofrecerle nuevas y mejores", "soluciones."};

} // namespace kv::picture_text
