"""What the Wine side reads from PE files, through Debian's python3-pefile:
a program's image size (which calls came from its own code), its string
table (the caption setup.exe gives its boxes), and a library's exports and
imports (the stubs that lack entry points)."""

try:
    import pefile
except ImportError:  # pragma: no cover - the message is the point
    pefile = None


class PeError(Exception):
    """The file is missing, no PE image, or pefile is not installed."""


def _open(path, *directories):
    if pefile is None:
        raise PeError('reading %s needs python3-pefile (apt-get install python3-pefile)' % path)
    try:
        image = pefile.PE(path, fast_load=True)
        if directories:
            image.parse_data_directories(
                directories=[pefile.DIRECTORY_ENTRY[d] for d in directories])
        return image
    except (OSError, pefile.PEFormatError) as e:
        raise PeError('%s: %s' % (path, e))


def image_size(path):
    """SizeOfImage: a module loaded at base spans [base, base + size)."""
    return _open(path).OPTIONAL_HEADER.SizeOfImage


def exports(path):
    """Names exported by name, in the export table's order."""
    image = _open(path, 'IMAGE_DIRECTORY_ENTRY_EXPORT')
    table = getattr(image, 'DIRECTORY_ENTRY_EXPORT', None)
    return [s.name.decode('ascii') for s in (table.symbols if table else []) if s.name]


def imports(path):
    """{library name, lower case: [names imported by name]}."""
    image = _open(path, 'IMAGE_DIRECTORY_ENTRY_IMPORT')
    found = {}
    for entry in getattr(image, 'DIRECTORY_ENTRY_IMPORT', []):
        names = found.setdefault(entry.dll.decode('ascii').lower(), [])
        names.extend(i.name.decode('ascii') for i in entry.imports if i.name)
    return found


def strings(path):
    """{id: text} of the string table, all languages together."""
    image = _open(path, 'IMAGE_DIRECTORY_ENTRY_RESOURCE')
    table = {}
    directory = getattr(image, 'DIRECTORY_ENTRY_RESOURCE', None)
    for kind in directory.entries if directory else []:
        if kind.id == pefile.RESOURCE_TYPE['RT_STRING']:
            # pefile gives each block of 16 strings the texts of all its languages.
            for block in kind.directory.entries:
                table.update(getattr(block.directory, 'strings', None) or {})
    return table
