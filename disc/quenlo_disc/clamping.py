"""The dates of an ISO 9660 image made to be reproducible: every date later
than a moment set to it, as tar --clamp-mtime does, in the ISO 9660 and
Joliet records and in Rock Ridge's time stamps."""
import datetime
import struct

from .iso import SECTOR, descriptors, record_date, records


def short_date(moment):
    """A moment (seconds since 1970) as a directory record's 7 bytes, in UTC."""
    when = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=moment)
    return bytes([when.year - 1900, when.month, when.day, when.hour, when.minute, when.second, 0])


def long_date(moment):
    """A moment as the 17 bytes of the long form: digits to centiseconds, and the offset."""
    when = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=moment)
    return when.strftime("%Y%m%d%H%M%S00").encode("ascii") + b"\0"


def long_to_datetime(raw):
    try:
        local = datetime.datetime.strptime(raw[:14].decode("ascii"), "%Y%m%d%H%M%S")
    except (UnicodeDecodeError, ValueError):
        return datetime.datetime(1900, 1, 1)
    return local - datetime.timedelta(minutes=15 * struct.unpack("b", raw[16:17])[0])


def clamp(path, moment):
    """Sets each date of the image's files and folders that is later than
    moment (seconds since 1970) to moment, as tar --clamp-mtime does: in
    the records of the ISO 9660 and Joliet trees and in Rock Ridge's time
    stamps. Returns how many it set."""
    latest = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=moment)
    short, long_ = short_date(moment), long_date(moment)
    count = 0
    with open(path, "r+b") as f:
        for place, descriptor in list(descriptors(f)):
            if descriptor[0] not in (1, 2):
                continue
            root = descriptor[156:190]
            if record_date(root[18:25]) > latest:  # the root's record in the descriptor itself
                f.seek(place * SECTOR + 156 + 18)
                f.write(short)
                count += 1
            pending, seen = [(struct.unpack_from("<I", root, 2)[0], struct.unpack_from("<I", root, 10)[0])], set()
            while pending:
                sector, length = pending.pop()
                if sector in seen:
                    continue
                seen.add(sector)
                f.seek(sector * SECTOR)
                data = bytearray(f.read(length))
                for at, record in records(data):
                    if record_date(record[18:25]) > latest:
                        data[at + 18:at + 25] = short
                        count += 1
                    itself = record[32] == 1 and record[33] in (0, 1)
                    if record[25] & 0x02 and not itself:
                        pending.append(struct.unpack_from("<II", record, 2)[:1] + struct.unpack_from("<I", record, 10))
                    if descriptor[0] == 1:  # Rock Ridge's entries follow the name and its pad byte
                        names_end = at + 33 + record[32] + (1 - record[32] % 2)
                        count += _clamp_susp(f, data, names_end, at + len(record), latest, short, long_)
                f.seek(sector * SECTOR)
                f.write(data)
    return count


def _clamp_susp(f, data, at, end, latest, short, long_, depth=0):
    """Clamps the TF entries of a System Use area data[at:end], and of the
    continuation areas it leads to; how many dates it set."""
    count = 0
    while at + 4 <= end and depth < 8:
        signature, length = bytes(data[at:at + 2]), data[at + 2]
        if length < 4 or at + length > end:
            break
        if signature == b"TF":
            flags, stamp = data[at + 4], at + 5
            size = 17 if flags & 0x80 else 7
            for bit in range(7):
                if flags & (1 << bit) and stamp + size <= at + length:
                    raw = bytes(data[stamp:stamp + size])
                    when = long_to_datetime(raw) if size == 17 else record_date(raw)
                    if when > latest:
                        data[stamp:stamp + size] = long_ if size == 17 else short
                        count += 1
                    stamp += size
        elif signature == b"CE":
            sector, offset, size = (struct.unpack_from("<I", data, at + n)[0] for n in (4, 12, 20))
            f.seek(sector * SECTOR + offset)
            area = bytearray(f.read(size))
            found = _clamp_susp(f, area, 0, len(area), latest, short, long_, depth + 1)
            if found:
                f.seek(sector * SECTOR + offset)
                f.write(area)
                count += found
        elif signature == b"ST":
            break
        at += length
    return count
