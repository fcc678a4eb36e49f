"""JSON text as every tool of this tree writes it: UTF-8 kept as it is
(ensure_ascii=False), but the C1 controls U+0080..U+009F escaped as
\\u0080..\\u009f, as the C0 ones are: JSON allows them raw, and some
terminals obey them as commands. vntrsetup-sim writes its JSON by the
same rule; a JSON reader reads either form back as the same text."""

import json
import re

# Outside its strings JSON text is ASCII: every C1 control in it is a
# character of a string.
_C1 = re.compile('[\x80-\x9f]')


def dumps(value, **options):
    """json.dumps(value, ensure_ascii=False, **options) with the C1
    controls escaped."""
    text = json.dumps(value, ensure_ascii=False, **options)
    return _C1.sub(lambda m: '\\u%04x' % ord(m.group()), text)
