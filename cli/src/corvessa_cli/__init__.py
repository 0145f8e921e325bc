"""corvessa-image: make pictures with the Gemini client (sorvanel) or the images-API client
(tovarin) from a shell, against a real service or the local emulator."""
