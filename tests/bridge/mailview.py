#!/usr/bin/env python3
# Reads mail files the way mail readers do, with Python's email package and its RFC 5322
# policy, and prints what it sees of each as JSON: every defect of the message, of its
# headers and of its parts, the dates as parsed, the addresses and the parts.
import email
import email.policy
import email.utils
import json
import sys


def view(path):
    with open(path, 'rb') as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    seen = {'defects': [type(d).__name__ for d in msg.defects], 'date': None, 'received': [], 'parts': []}
    seen['defects'] += ['%s: %s' % (name, ','.join(type(d).__name__ for d in value.defects))
                        for name, value in msg.items() if getattr(value, 'defects', None)]
    date = msg['Date']
    if date is not None and date.datetime is not None:
        seen['date'] = date.datetime.isoformat()
    elif date is not None:
        seen['defects'].append('Date: unparseable %r' % str(date))
    for stamp in (str(r).rsplit(';', 1)[-1].strip() for r in msg.get_all('Received') or []):
        try:
            seen['received'].append(email.utils.parsedate_to_datetime(stamp).isoformat())
        except (TypeError, ValueError):
            seen['defects'].append('Received: unparseable %r' % stamp)
    for field in ('from', 'to'):
        seen[field] = [[a.display_name, a.addr_spec] for a in msg[field].addresses] if msg[field] is not None else []
    for part in (p for p in msg.walk() if not p.is_multipart()):
        seen['defects'] += [type(d).__name__ for d in part.defects]
        entry = {'type': part.get_content_type(), 'filename': part.get_filename() or ''}
        if entry['type'] == 'text/plain':
            entry['text'] = part.get_content()
        seen['parts'].append(entry)
    return seen


print(json.dumps({path: view(path) for path in sys.argv[1:]}))
