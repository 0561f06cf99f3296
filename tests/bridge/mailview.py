#!/usr/bin/env python3
# Reads mail files the way mail readers do, with Python's email package and its RFC 5322
# policy, and prints what it sees of each as JSON: every defect of the message, of its
# headers and of its parts, the dates as parsed, the addresses and the parts.
import email
import email.policy
import email.utils
import json
import sys


def names(defects):
    return [type(d).__name__ for d in defects]


def view(path):
    with open(path, 'rb') as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    seen = {'defects': names(msg.defects), 'date': None, 'received': [], 'from': [], 'to': [], 'parts': []}
    for name, value in msg.items():
        bad = names(getattr(value, 'defects', []))
        if bad:
            seen['defects'].append('%s: %s' % (name, ','.join(bad)))
    date = msg['Date']
    if date is not None and date.datetime is not None:
        seen['date'] = date.datetime.isoformat()
    elif date is not None:
        seen['defects'].append('Date: unparseable %r' % str(date))
    for received in msg.get_all('Received') or []:
        stamp = str(received).rsplit(';', 1)[-1].strip()
        try:
            seen['received'].append(email.utils.parsedate_to_datetime(stamp).isoformat())
        except (TypeError, ValueError):
            seen['defects'].append('Received: unparseable %r' % stamp)
    for field in ('from', 'to'):
        header = msg[field]
        if header is not None:
            seen[field] = [[a.display_name, a.addr_spec] for a in header.addresses]
    for part in msg.walk():
        if part.is_multipart():
            continue
        seen['defects'] += names(part.defects)
        entry = {'type': part.get_content_type(), 'filename': part.get_filename() or ''}
        if part.get_content_type() == 'text/plain':
            entry['text'] = part.get_content()
        seen['parts'].append(entry)
    return seen


print(json.dumps({path: view(path) for path in sys.argv[1:]}))
