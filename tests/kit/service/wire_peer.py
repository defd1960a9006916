"""A realtime service written apart from the kit, to cross-check the wire format.

It serves one TLS WebSocket on 127.0.0.1, refuses upgrades without the right "X-Session-Key" with
HTTP 401, decodes the first message of an accepted connection with the Python protobuf runtime,
answers it with the envelopes a service sends (binary, and some as Base64 text) and waits for the
client to close. It reports on standard output, one JSON object per line:
  {"port": N}                              once listening
  {"refused": path}                        for each refused upgrade
  {"path": ..., "received": {...}}         the decoded envelope (protobuf JSON, field names kept)
  {"sent": [{"text": bool, "envelope": {...}}, ...]}   the answers, in order
  {"closed": code}                         when the client closed
The whole run is bounded in time; a failure prints {"error": ...} and exits with status 1.
"""

import argparse
import asyncio
import base64
import http
import json
import ssl
import sys

import websockets
from google.protobuf import json_format


def report(**entry):
    print(json.dumps(entry, ensure_ascii=False), flush=True)


def as_dict(message):
    return json_format.MessageToDict(message, preserving_proto_field_name=True)


def keyframes(realtime, first):
    """Two keyframes of values exact in 32-bit floats; the second has a short translation."""
    flame = realtime.Flame(
        translation=[first, -1.25, 2.0],
        rotation=[0.125, 0.25, 0.375],
        neck_pose=[-0.5, 0.0, 0.5],
        jaw_pose=[0.0625, 0.0, 0.0],
        eye_pose=[0.1875, -0.1875, 0.0, 0.25, -0.25, 0.0],
        eye_lid=[0.5, 0.75],
        expression=[i / 16.0 for i in range(10)],
    )
    short = realtime.Flame(translation=[3.0], rotation=[1.0, 2.0, 3.0], expression=[4.0])
    return realtime.FlameAnimation(keyframes=[flame, short])


def answers(schema, req_id, realtime, ingress):
    """(envelope, as Base64 text?) pairs that answer request req_id."""
    if schema == "animation":
        return [
            (ingress.Message(type=ingress.MESSAGE_SERVER_RESPONSE_ANIMATION,
                             server_response_animation=realtime.ServerResponseAnimationData(
                                 req_id=req_id, animation=keyframes(realtime, 0.5))), False),
            (ingress.Message(type=ingress.MESSAGE_SERVER_RESPONSE_ANIMATION,
                             server_response_animation=realtime.ServerResponseAnimationData(
                                 req_id=req_id, animation=keyframes(realtime, -3.0))), True),
            (ingress.Message(type=ingress.MESSAGE_ERROR,
                             error=realtime.ErrorInfo(req_id=req_id, code=-3, reason="模型繁忙")), False),
        ]
    return [
        (realtime.Message(type=realtime.MESSAGE_SERVER_RESPONSE_START,
                          server_response_start=realtime.ServerResponseStartData(req_id=req_id, text="你好")), False),
        (realtime.Message(type=realtime.MESSAGE_SERVER_RESPONSE_TEXT,
                          server_response_text=realtime.ServerResponseTextData(req_id=req_id, text="ignored")), False),
        (realtime.Message(type=realtime.MESSAGE_SERVER_RESPONSE_AUDIO,
                          server_response_audio=realtime.ServerResponseAudioData(
                              req_id=req_id, audio=bytes(range(256)))), True),
        (realtime.Message(type=realtime.MESSAGE_SERVER_RESPONSE_ANIMATION,
                          server_response_animation=realtime.ServerResponseAnimationData(
                              req_id=req_id, animation=keyframes(realtime, 0.5))), False),
        (realtime.Message(type=realtime.MESSAGE_SERVER_RESPONSE_END,
                          server_response_end=realtime.ServerResponseEndData(req_id=req_id)), False),
        (realtime.Message(type=realtime.MESSAGE_ERROR,
                          error=realtime.ErrorInfo(req_id=req_id, code=500, reason="服务器忙")), True),
    ]


async def serve(args, realtime, ingress):
    envelope_type = ingress.Message if args.schema == "animation" else realtime.Message
    done = asyncio.get_running_loop().create_future()

    async def check_key(path, headers):
        if headers.get("X-Session-Key") != args.session_key:
            report(refused=path)
            return http.HTTPStatus.UNAUTHORIZED, [], b"invalid session key\n"
        return None

    async def handler(websocket, path=None):
        try:
            first = await websocket.recv()
            if not isinstance(first, bytes):
                raise ValueError("the utterance came as text")
            envelope = envelope_type()
            envelope.ParseFromString(first)
            report(path=websocket.path, received=as_dict(envelope))

            member = "client_audio_input" if args.schema == "animation" else "client_speech_end"
            sent = []
            for answer, as_text in answers(args.schema, getattr(envelope, member).req_id, realtime, ingress):
                data = answer.SerializeToString()
                await websocket.send(base64.b64encode(data).decode("ascii") if as_text else data)
                sent.append({"text": as_text, "envelope": as_dict(answer)})
            report(sent=sent)

            await websocket.wait_closed()
            report(closed=websocket.close_code)
            done.set_result(None)
        except Exception as error:  # reported, then the run ends
            if not done.done():
                done.set_exception(error)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    async with websockets.serve(handler, "127.0.0.1", 0, ssl=context, process_request=check_key) as server:
        report(port=server.sockets[0].getsockname()[1])
        await asyncio.wait_for(done, timeout=args.timeout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--modules", required=True, help="directory of the generated *_pb2 modules")
    parser.add_argument("--session-key", required=True)
    parser.add_argument("--schema", choices=["animation", "audiovisual"], required=True)
    parser.add_argument("--timeout", type=float, default=30.0)
    args = parser.parse_args()

    sys.path.insert(0, args.modules)
    from kit.service.proto import driven_ingress_pb2, realtime_pb2

    try:
        asyncio.run(serve(args, realtime_pb2, driven_ingress_pb2))
    except Exception as error:
        report(error=f"{type(error).__name__}: {error}")
        sys.exit(1)


if __name__ == "__main__":
    main()
